#include "settings.h"

#include "configfile.h"
#include "numbers.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>

namespace kpx {

namespace {

// A plain number >= 0 (strtol, nothing after it).
bool plainseconds(const std::string& value, long& out) {
    char* end = nullptr;
    errno = 0;
    const long v = std::strtol(value.c_str(), &end, 10);
    if (errno != 0 || end == value.c_str() || *end != '\0' || v < 0) return false;
    out = v;
    return true;
}

void setnumber(const Field& f, long v) {
    if (auto* const* i = std::get_if<int*>(&f)) **i = static_cast<int>(v);
    if (auto* const* l = std::get_if<long*>(&f)) **l = v;
    if (auto* const* b = std::get_if<std::int8_t*>(&f)) **b = static_cast<std::int8_t>(v);
}

} // namespace

void resetlists(const Settings& rows) {
    for (const Setting& r : rows) {
        if (r.kind == Kind::rules) {
            std::get<std::vector<NetRule>*>(r.field)->clear();
            if (r.given != nullptr) *r.given = false;
        } else if (r.kind == Kind::urls) {
            std::get<std::vector<std::string>*>(r.field)->clear();
        }
    }
}

void resetsettings(const Settings& rows) {
    resetlists(rows);
    for (const Setting& r : rows) {
        switch (r.kind) {
        case Kind::text:
        case Kind::dir:
            *std::get<std::string*>(r.field) = r.text;
            break;
        case Kind::hostport:
            *std::get<std::string*>(r.field) = r.text;
            *r.port = static_cast<int>(r.number);
            break;
        case Kind::off:
        case Kind::count:
        case Kind::number:
        case Kind::seconds:
            setnumber(r.field, r.number);
            break;
        case Kind::rules:
        case Kind::urls:
            break;
        }
    }
}

const Setting* findsetting(const Settings& rows, const std::string& key) {
    for (const Setting& r : rows)
        if (sameword(key, r.name)) return &r;
    return nullptr;
}

bool takesetting(const Setting& r, const std::string& value) {
    if (r.ignored != nullptr) {
        std::fputs(r.ignored, stderr);
        return true;
    }
    if (r.accepts != nullptr && !r.accepts(value)) return false;
    long v = 0;
    switch (r.kind) {
    case Kind::off:
        if (sameword(value, r.offword) || value == "0") setnumber(r.field, 0);
        return true;
    case Kind::text:
        if (value.empty()) return false;
        *std::get<std::string*>(r.field) = value;
        return true;
    case Kind::dir: {
        std::string& dir = *std::get<std::string*>(r.field);
        dir = value;
        if (!dir.empty() && dir.back() == '/') dir.pop_back();
        return true;
    }
    case Kind::count:
        v = atoinumber(value);
        break;
    case Kind::number:
        if (!plainnumber(value, r.high, v)) return false;
        break;
    case Kind::seconds:
        if (!plainseconds(value, v)) return false;
        break;
    case Kind::rules:
        if (r.given != nullptr) *r.given = true;
        return !value.empty() && addrules(value, *std::get<std::vector<NetRule>*>(r.field));
    case Kind::urls:
        std::get<std::vector<std::string>*>(r.field)->push_back(value);
        return true;
    case Kind::hostport: {
        const std::size_t colon = value.rfind(':');
        if (colon == std::string::npos || colon == 0 ||
            !plainnumber(value.substr(colon + 1), 65535, v) || v < 1)
            return false;
        *std::get<std::string*>(r.field) = value.substr(0, colon);
        *r.port = static_cast<int>(v);
        return true;
    }
    }
    if (v < r.low || v > r.high) return false;
    setnumber(r.field, v);
    return true;
}

std::string wants(const Setting& r) {
    switch (r.kind) {
    case Kind::count:
    case Kind::number:
        return "wants a number from " + std::to_string(r.low) + " to " + std::to_string(r.high);
    case Kind::seconds:
        return "wants a number of seconds (0 or more)";
    case Kind::rules:
        return "wants hosts or networks: a.b.c.d or a.b.c.d/n, comma-separated";
    case Kind::urls:
        return "wants a web address of printable ASCII without blanks";
    case Kind::hostport:
        return "wants ADDR:PORT";
    case Kind::off:
    case Kind::text:
    case Kind::dir:
        break;
    }
    return "needs a value";
}

LineWas settingline(const Settings& rows, const std::string& line, std::string& key) {
    key = getparam(line, 0, KEYCHARS);
    if (key.empty() || key[0] == '#' || key[0] == '/' || key[0] == ';') return LineWas::comment;
    const std::string value = getparam(line, 1, VALUECHARS);
    const Setting* r = value.empty() ? nullptr : findsetting(rows, key);
    if (r == nullptr) return LineWas::unknown;
    return takesetting(*r, value) ? LineWas::taken : LineWas::refused;
}

} // namespace kpx
