// Rendering the tool's result tree as JSON and as aligned text.
#include "tool/result.hpp"

#include <algorithm>
#include <cmath>
#include <cstdio>

#include "damiao/text/can_id_text.hpp"
#include "damiao/text/float_text.hpp"

namespace velkarin::tool {
namespace {

template <typename... Fs>
struct Overloaded : Fs... {
    using Fs::operator()...;
};

void append_json_string(std::string& out, std::string_view s) {
    out += '"';
    for (const char c : s) {
        switch (c) {
            case '"': out += "\\\""; break;
            case '\\': out += "\\\\"; break;
            case '\n': out += "\\n"; break;
            case '\t': out += "\\t"; break;
            default:
                if (static_cast<unsigned char>(c) < 0x20) {
                    char buf[8];
                    std::snprintf(buf, sizeof buf, "\\u%04x", static_cast<unsigned>(c));
                    out += buf;
                } else {
                    out += c;
                }
        }
    }
    out += '"';
}

// Shortest digits that read back as the same 32-bit float, always with a
// point or an exponent ("12.5", "30.0", "1e20"), so a reader sees a float.
std::string float_json(float f) {
    if (!std::isfinite(f)) return "null";
    return damiao::float_text::bound(f);
}

void append_json(std::string& out, const Value& v) {
    std::visit(Overloaded{
                   [&](std::monostate) { out += "null"; },
                   [&](bool b) { out += b ? "true" : "false"; },
                   [&](std::int64_t i) { out += std::to_string(i); },
                   [&](CanIdNumber id) { out += std::to_string(id.id); },
                   [&](float f) { out += float_json(f); },
                   [&](const std::string& s) { append_json_string(out, s); },
                   [&](const std::shared_ptr<Items>& items) {
                       out += '[';
                       for (std::size_t i = 0; i < items->size(); ++i) {
                           if (i != 0) out += ", ";
                           append_json(out, (*items)[i]);
                       }
                       out += ']';
                   },
                   [&](const std::shared_ptr<Members>& members) {
                       out += '{';
                       for (std::size_t i = 0; i < members->size(); ++i) {
                           if (i != 0) out += ", ";
                           append_json_string(out, (*members)[i].first);
                           out += ": ";
                           append_json(out, (*members)[i].second);
                       }
                       out += '}';
                   },
               },
               v.get());
}

// A scalar (or a list of scalars) as a person reads it: floats without a
// needless ".0", null as "-".
std::string scalar_text(const Value& v) {
    return std::visit(Overloaded{
                          [](std::monostate) -> std::string { return "-"; },
                          [](bool b) -> std::string { return b ? "yes" : "no"; },
                          [](std::int64_t i) { return std::to_string(i); },
                          [](CanIdNumber id) { return id_text(id.id); },
                          [](float f) { return damiao::float_text::shortest(f); },
                          [](const std::string& s) { return s; },
                          [](const std::shared_ptr<Items>& items) {
                              std::string out;
                              for (const auto& item : *items) {
                                  if (!out.empty()) out += ", ";
                                  out += scalar_text(item);
                              }
                              return out.empty() ? std::string("-") : out;
                          },
                          [](const std::shared_ptr<Members>&) -> std::string { return "{...}"; },
                      },
                      v.get());
}

bool is_table(const Items& items) {
    return !items.empty() && std::all_of(items.begin(), items.end(), [](const Value& i) {
        return i.members() != nullptr;
    });
}

void append_table(std::string& out, const Items& rows, const std::string& indent) {
    std::vector<std::string> keys;
    for (const auto& [key, value] : *rows.front().members()) keys.push_back(key);
    std::vector<std::vector<std::string>> cells{keys};
    for (const auto& row : rows) {
        std::vector<std::string> line;
        for (const auto& key : keys) {
            const Value* v = row.find(key);
            line.push_back(v != nullptr ? scalar_text(*v) : "-");
        }
        cells.push_back(std::move(line));
    }
    std::vector<std::size_t> width(keys.size(), 0);
    for (const auto& line : cells)
        for (std::size_t c = 0; c < line.size(); ++c) width[c] = std::max(width[c], line[c].size());
    for (const auto& line : cells) {
        std::string text = indent;
        for (std::size_t c = 0; c < line.size(); ++c) {
            text += line[c];
            if (c + 1 < line.size()) text.append(width[c] - line[c].size() + 2, ' ');
        }
        out += text + '\n';
    }
}

void append_text(std::string& out, const Value& v, const std::string& indent) {
    if (const Members* members = v.members()) {
        std::size_t width = 0;
        for (const auto& [key, value] : *members) width = std::max(width, key.size());
        for (const auto& [key, value] : *members) {
            const Items* items = value.items();
            if (value.members() != nullptr || (items != nullptr && is_table(*items))) {
                out += indent + key + ":\n";
                append_text(out, value, indent + "  ");
                continue;
            }
            out += indent + key + std::string(width - key.size() + 2, ' ') + scalar_text(value) + '\n';
        }
        return;
    }
    if (const Items* items = v.items(); items != nullptr && is_table(*items)) {
        append_table(out, *items, indent);
        return;
    }
    out += indent + scalar_text(v) + '\n';
}

}  // namespace

std::string id_text(std::uint16_t id) { return damiao::can_id_text(id); }

const Items* Value::items() const {
    const auto* p = std::get_if<std::shared_ptr<Items>>(&v_);
    return p != nullptr ? p->get() : nullptr;
}

const Members* Value::members() const {
    const auto* p = std::get_if<std::shared_ptr<Members>>(&v_);
    return p != nullptr ? p->get() : nullptr;
}

const Value* Value::find(std::string_view key) const {
    if (const Members* m = members())
        for (const auto& [k, v] : *m)
            if (k == key) return &v;
    return nullptr;
}

std::string to_json(const Value& v) {
    std::string out;
    append_json(out, v);
    return out;
}

std::string to_text(const Value& v) {
    std::string out;
    append_text(out, v, "");
    return out;
}

}  // namespace velkarin::tool
