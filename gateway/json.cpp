#include "json.h"

#include <cstdlib>

namespace kpx {

namespace {

class Reader {
public:
    explicit Reader(const std::string& t) : s_(t) {}

    bool document(Json& out) {
        space();
        if (!value(out, 0)) return false;
        space();
        return i_ == s_.size();
    }

private:
    void space() {
        while (i_ < s_.size() && (s_[i_] == ' ' || s_[i_] == '\t' || s_[i_] == '\n' || s_[i_] == '\r')) ++i_;
    }
    bool literal(const char* word) {
        std::size_t k = 0;
        for (; word[k]; ++k)
            if (i_ + k >= s_.size() || s_[i_ + k] != word[k]) return false;
        i_ += k;
        return true;
    }
    bool value(Json& out, int depth) {
        if (depth > 64 || i_ >= s_.size()) return false;
        const char c = s_[i_];
        if (c == '{') return object(out, depth);
        if (c == '[') return array(out, depth);
        if (c == '"') {
            out.kind = Json::string;
            return string(out.text);
        }
        if (c == 't' || c == 'f') {
            out.kind = Json::boolean;
            out.flag = c == 't';
            return literal(c == 't' ? "true" : "false");
        }
        if (c == 'n') {
            out.kind = Json::null;
            return literal("null");
        }
        return number(out);
    }
    bool digits() {
        const std::size_t from = i_;
        while (i_ < s_.size() && s_[i_] >= '0' && s_[i_] <= '9') ++i_;
        return i_ > from;
    }
    bool number(Json& out) {
        const std::size_t from = i_;
        if (i_ < s_.size() && s_[i_] == '-') ++i_;
        if (i_ < s_.size() && s_[i_] == '0') {
            ++i_;
        } else if (!digits()) {
            return false;
        }
        if (i_ < s_.size() && s_[i_] == '.') {
            ++i_;
            if (!digits()) return false;
        }
        if (i_ < s_.size() && (s_[i_] == 'e' || s_[i_] == 'E')) {
            ++i_;
            if (i_ < s_.size() && (s_[i_] == '+' || s_[i_] == '-')) ++i_;
            if (!digits()) return false;
        }
        out.kind = Json::number;
        out.value = std::strtod(s_.substr(from, i_ - from).c_str(), nullptr);
        return true;
    }
    bool hex4(unsigned& v) {
        if (i_ + 4 > s_.size()) return false;
        v = 0;
        for (int k = 0; k < 4; ++k) {
            const char c = s_[i_++];
            v <<= 4;
            if (c >= '0' && c <= '9') v |= static_cast<unsigned>(c - '0');
            else if (c >= 'a' && c <= 'f') v |= static_cast<unsigned>(c - 'a' + 10);
            else if (c >= 'A' && c <= 'F') v |= static_cast<unsigned>(c - 'A' + 10);
            else return false;
        }
        return true;
    }
    static void utf8(std::string& out, unsigned cp) {
        if (cp < 0x80) {
            out += static_cast<char>(cp);
        } else if (cp < 0x800) {
            out += static_cast<char>(0xC0 | (cp >> 6));
            out += static_cast<char>(0x80 | (cp & 0x3F));
        } else if (cp < 0x10000) {
            out += static_cast<char>(0xE0 | (cp >> 12));
            out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (cp & 0x3F));
        } else {
            out += static_cast<char>(0xF0 | (cp >> 18));
            out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
            out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (cp & 0x3F));
        }
    }
    bool string(std::string& out) {
        ++i_; // opening quote
        out.clear();
        while (i_ < s_.size()) {
            const auto c = static_cast<unsigned char>(s_[i_++]);
            if (c == '"') return true;
            if (c < 0x20) return false;
            if (c != '\\') {
                out += static_cast<char>(c);
                continue;
            }
            if (i_ >= s_.size()) return false;
            const char e = s_[i_++];
            switch (e) {
            case '"': out += '"'; break;
            case '\\': out += '\\'; break;
            case '/': out += '/'; break;
            case 'b': out += '\b'; break;
            case 'f': out += '\f'; break;
            case 'n': out += '\n'; break;
            case 'r': out += '\r'; break;
            case 't': out += '\t'; break;
            case 'u': {
                unsigned cp = 0;
                if (!hex4(cp)) return false;
                if (cp >= 0xD800 && cp <= 0xDBFF) {
                    unsigned low = 0;
                    if (!literal("\\u") || !hex4(low) || low < 0xDC00 || low > 0xDFFF) return false;
                    cp = 0x10000 + ((cp - 0xD800) << 10) + (low - 0xDC00);
                } else if (cp >= 0xDC00 && cp <= 0xDFFF) {
                    return false;
                }
                utf8(out, cp);
                break;
            }
            default: return false;
            }
        }
        return false;
    }
    bool array(Json& out, int depth) {
        ++i_;
        out.kind = Json::array;
        space();
        if (i_ < s_.size() && s_[i_] == ']') {
            ++i_;
            return true;
        }
        for (;;) {
            Json item;
            space();
            if (!value(item, depth + 1)) return false;
            out.items.push_back(std::move(item));
            space();
            if (i_ >= s_.size()) return false;
            if (s_[i_] == ']') {
                ++i_;
                return true;
            }
            if (s_[i_++] != ',') return false;
        }
    }
    bool object(Json& out, int depth) {
        ++i_;
        out.kind = Json::object;
        space();
        if (i_ < s_.size() && s_[i_] == '}') {
            ++i_;
            return true;
        }
        for (;;) {
            space();
            std::string key;
            if (i_ >= s_.size() || s_[i_] != '"' || !string(key)) return false;
            space();
            if (i_ >= s_.size() || s_[i_++] != ':') return false;
            space();
            Json v;
            if (!value(v, depth + 1)) return false;
            out.members.emplace_back(std::move(key), std::move(v));
            space();
            if (i_ >= s_.size()) return false;
            if (s_[i_] == '}') {
                ++i_;
                return true;
            }
            if (s_[i_++] != ',') return false;
        }
    }

    const std::string& s_;
    std::size_t i_ = 0;
};

const std::vector<Json> nothing;

} // namespace

const Json* Json::get(const std::string& key) const {
    if (kind != object) return nullptr;
    for (const auto& m : members)
        if (m.first == key) return &m.second;
    return nullptr;
}

double Json::num(const std::string& key, double fallback) const {
    const Json* j = get(key);
    return j != nullptr && j->kind == number ? j->value : fallback;
}

std::string Json::str(const std::string& key, const std::string& fallback) const {
    const Json* j = get(key);
    return j != nullptr && j->kind == string ? j->text : fallback;
}

bool Json::yes(const std::string& key) const {
    const Json* j = get(key);
    return j != nullptr && j->kind == boolean && j->flag;
}

const std::vector<Json>& Json::list(const std::string& key) const {
    const Json* j = get(key);
    return j != nullptr && j->kind == array ? j->items : nothing;
}

std::optional<Json> parsejson(const std::string& text) {
    Json out;
    Reader r(text);
    if (!r.document(out)) return std::nullopt;
    return out;
}

} // namespace kpx
