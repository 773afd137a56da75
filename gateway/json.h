// A small strict JSON reader for the status file (kpxctl status, the status page and tests).
#pragma once

#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace kpx {

struct Json {
    enum Kind { null, boolean, number, string, array, object };
    Kind kind = null;
    bool flag = false;
    double value = 0;
    std::string text;
    std::vector<Json> items;                           // array
    std::vector<std::pair<std::string, Json>> members; // object, in file order

    // The member `key` of an object, or nullptr (also for other kinds).
    const Json* get(const std::string& key) const;
    // Convenience readers with a fallback for a missing member or a wrong kind.
    double num(const std::string& key, double fallback = 0) const;
    std::string str(const std::string& key, const std::string& fallback = "") const;
    bool yes(const std::string& key) const;
    const std::vector<Json>& list(const std::string& key) const;
};

// Parses one JSON text (RFC 8259: one value, white space around it). Nothing is returned for
// anything else: trailing text, a cut file, control characters in strings, nesting deeper
// than 64 levels.
std::optional<Json> parsejson(const std::string& text);

} // namespace kpx
