// replay.cpp - the per-function queues of a loaded call file (call_file.h).
#include "replay.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <sstream>

#include "call_file.h"

namespace standin {

void Replay::reset() {
    active_ = false;
    queues_.assign(kFnCount, {});
}

int Replay::load(const char *path, std::string &error) {
    if (!path) return (error = "no call file path", -1);
    std::ifstream in(path, std::ios::binary);
    if (!in) return (error = std::string(path) + ": cannot open: " + std::strerror(errno), -1);
    std::ostringstream text;
    text << in.rdbuf();
    if (in.bad()) return (error = std::string(path) + ": cannot read: " + std::strerror(errno), -1);
    std::vector<RecordedCall> calls;
    if (!parse_call_text(text.str(), calls, error)) {
        error = std::string(path) + ": " + error;
        return -1;
    }
    // Lines are written as calls return; calls began in seq order.
    std::stable_sort(calls.begin(), calls.end(),
                     [](const RecordedCall &a, const RecordedCall &b) { return a.seq < b.seq; });
    if (queues_.size() != static_cast<std::size_t>(kFnCount)) queues_.assign(kFnCount, {});
    for (auto &c : calls) queues_[static_cast<std::size_t>(c.fn)].push_back(std::move(c.r));
    active_ = true;
    return static_cast<int>(calls.size());
}

std::optional<Recorded> Replay::next(Fn f) {
    if (!active_) return std::nullopt;
    auto &q = queues_[static_cast<std::size_t>(f)];
    if (q.empty()) return std::nullopt;
    Recorded r = std::move(q.front());
    q.pop_front();
    return r;
}

int Replay::pending() const {
    std::size_t n = 0;
    for (const auto &q : queues_) n += q.size();
    return static_cast<int>(n);
}

}  // namespace standin
