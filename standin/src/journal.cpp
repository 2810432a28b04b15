// journal.cpp - JSON encoding of call arguments and the journal store.
#include "journal.h"

#include <atomic>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <vector>

namespace standin {

EntryWriter::EntryWriter(const char *fn, bool enabled) : enabled_(enabled) {
    if (!enabled_) return;
    s_.reserve(128);
    s_ += "{\"fn\": \"";
    s_ += fn;  // SDK names are plain identifiers: nothing to escape
    s_ += "\", \"args\": [";
}

void EntryWriter::open(const char *kind) {
    if (!first_) s_ += ", ";
    first_ = false;
    s_ += "{\"k\": \"";
    s_ += kind;
    s_ += '"';
}

void EntryWriter::hex(const void *data, std::size_t n) {
    static const char digits[] = "0123456789abcdef";
    const auto *p = static_cast<const unsigned char *>(data);
    s_ += ", \"hex\": \"";
    for (std::size_t i = 0; i < n; ++i) {
        s_ += digits[p[i] >> 4];
        s_ += digits[p[i] & 15];
    }
    s_ += '"';
}

void EntryWriter::text(const char *s) {
    if (!enabled_) return;
    open("text");
    s_ += s ? ", \"null\": false" : ", \"null\": true";
    hex(s, s ? std::strlen(s) : 0);
    s_ += '}';
}

void EntryWriter::redacted_text(const char *s) {
    if (!enabled_) return;
    open("text");
    s_ += s ? ", \"null\": false" : ", \"null\": true";
    s_ += ", \"redacted\": true, \"len\": " + std::to_string(s ? std::strlen(s) : 0) + '}';
}

void EntryWriter::integer(long long v) {
    if (!enabled_) return;
    open("int");
    s_ += ", \"v\": " + std::to_string(v) + '}';
}

void EntryWriter::boolean(bool v) {
    if (!enabled_) return;
    open("bool");
    s_ += v ? ", \"v\": true}" : ", \"v\": false}";
}

void EntryWriter::real(double v) {
    if (!enabled_) return;
    open("double");
    // JSON has no NaN or infinities: they travel as strings.
    if (std::isnan(v)) {
        s_ += ", \"v\": \"nan\"}";
    } else if (std::isinf(v)) {
        s_ += v > 0 ? ", \"v\": \"inf\"}" : ", \"v\": \"-inf\"}";
    } else {
        char buf[40];
        std::snprintf(buf, sizeof buf, "%.17g", v);
        s_ += ", \"v\": ";
        s_ += buf;
        s_ += '}';
    }
}

void EntryWriter::req(const void *data, int len) {
    if (!enabled_) return;
    open("req");
    s_ += data ? ", \"null\": false" : ", \"null\": true";
    s_ += ", \"len\": " + std::to_string(len);
    hex(data, data && len > 0 ? static_cast<std::size_t>(len) : 0);
    s_ += '}';
}

void EntryWriter::out(const void *p) {
    if (!enabled_) return;
    open("out");
    s_ += p ? ", \"null\": false}" : ", \"null\": true}";
}

void EntryWriter::callback(bool null) {
    if (!enabled_) return;
    open("callback");
    s_ += null ? ", \"null\": true}" : ", \"null\": false}";
}

std::string EntryWriter::finish() {
    if (enabled_) s_ += "]}";
    return std::move(s_);
}

namespace {

// Calls may come from the foreign-thread delivery as well as the main thread.
std::mutex g_mutex;
// Never destroyed, like the rest of the state: late calls at exit stay safe.
std::vector<std::string> &g_entries = *new std::vector<std::string>;
std::atomic<bool> g_enabled{true};

}  // namespace

bool journal_enabled() { return g_enabled.load(std::memory_order_relaxed); }
void journal_set_enabled(bool on) { g_enabled.store(on, std::memory_order_relaxed); }

void journal_append(std::string entry) {
    std::lock_guard<std::mutex> lock(g_mutex);
    g_entries.push_back(std::move(entry));
}

std::size_t journal_count() {
    std::lock_guard<std::mutex> lock(g_mutex);
    return g_entries.size();
}

bool journal_entry(std::size_t index, std::string &out) {
    std::lock_guard<std::mutex> lock(g_mutex);
    if (index >= g_entries.size()) return false;
    out = g_entries[index];
    return true;
}

void journal_clear() {
    std::lock_guard<std::mutex> lock(g_mutex);
    g_entries.clear();
}

}  // namespace standin
