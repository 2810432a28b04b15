// journal.h - the record of every SDK call, one JSON object text per call.
#pragma once

#include <cstddef>
#include <string>

namespace standin {

// Builds {"fn": "<name>", "args": [...]} one argument at a time. A disabled
// writer does nothing, so turning the journal off also saves the encoding.
class EntryWriter {
public:
    EntryWriter(const char *fn, bool enabled);

    void text(const char *s);
    // A secret: whether it is NULL and its length, not its bytes.
    void redacted_text(const char *s);
    void integer(long long v);
    void boolean(bool v);
    void real(double v);
    void req(const void *data, int len);
    void out(const void *p);
    void callback(bool null);

    bool enabled() const { return enabled_; }
    std::string finish();

private:
    void open(const char *kind);
    void hex(const void *data, std::size_t n);

    bool enabled_;
    bool first_ = true;
    std::string s_;
};

bool journal_enabled();
void journal_set_enabled(bool on);
void journal_append(std::string entry);
std::size_t journal_count();
// False when index is out of range.
bool journal_entry(std::size_t index, std::string &out);
void journal_clear();

}  // namespace standin
