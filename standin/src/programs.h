// programs.h - results programmed per SDK function, with succeeding defaults.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "fn_table.h"

namespace standin {

// A returned text: `null` means the function returns NULL.
struct Text {
    bool null = false;
    std::string s;
};

struct Response {
    enum Kind { kBytes, kRaw } kind = kBytes;
    std::string bytes;         // kBytes
    bool null_pointer = false; // kRaw
    int len = 0;               // kRaw: the *res_len reported
};

class Programs {
public:
    Programs() { reset(); }
    void reset();

    void set_status(Fn f, int v) { at(f).status = v; }
    void set_longlong(Fn f, long long v) { at(f).ll = v; }
    void set_double(Fn f, double v) { at(f).dbl = v; }
    void set_text(Fn f, Text t) { at(f).text = std::move(t); }
    void set_response(Fn f, Response r) { at(f).response = std::move(r); }

    bool has_status(Fn f) const { return at(f).status.has_value(); }
    bool has_text(Fn f) const { return at(f).text.has_value(); }

    int status(Fn f) const { return at(f).status.value_or(0); }
    long long longlong(Fn f) const { return at(f).ll.value_or(1700000000000LL); }
    double real(Fn f) const { return at(f).dbl.value_or(1700000000.5); }
    Text text(Fn f) const;
    // Default: an empty, valid buffer.
    Response response(Fn f) const { return at(f).response.value_or(Response{}); }

private:
    struct Program {
        std::optional<int> status;
        std::optional<long long> ll;
        std::optional<double> dbl;
        std::optional<Text> text;
        std::optional<Response> response;
    };
    Program &at(Fn f) { return table_[static_cast<int>(f)]; }
    const Program &at(Fn f) const { return table_[static_cast<int>(f)]; }

    std::vector<Program> table_;
};

}  // namespace standin
