// The expression layout: sites of "%" found once per expression, and the sequential
// replacement for the texts the sites cannot describe.
#include "core/expression_text.hpp"

#include <algorithm>
#include <cstring>
#include <utility>

namespace nerit::core {

ExpressionText::ExpressionText(std::string expression) : expression_(std::move(expression)) {
    for (std::size_t at = expression_.find('%'); at != std::string::npos && planned_;
         at = expression_.find('%', at + 1)) {
        // Each key looks at every site: an expression of very many goes the general way.
        planned_ = sites_.size() < kMaxSites;
        const unsigned char next =
            at + 1 < expression_.size() ? static_cast<unsigned char>(expression_[at + 1]) : 0;
        sites_.push_back(Site{at, next});
    }
}

void ExpressionText::write(std::span<const LiftedEvent::Field> fields, int coloured,
                           std::string_view before, std::string_view after, ByteBuffer& out) {
    const std::size_t start = out.size();
    if (planned_ && write_planned(fields, coloured, before, after, out)) return;
    out.truncate(start);
    write_general(fields, coloured, before, after, out);
}

bool ExpressionText::write_planned(std::span<const LiftedEvent::Field> fields, int coloured,
                                   std::string_view before, std::string_view after,
                                   ByteBuffer& out) {
    const std::size_t count = sites_.size();
    taken_.assign(count, kFree);
    const std::string_view text = expression_;
    for (std::size_t f = 0; f < fields.size(); ++f) {
        const std::string_view key = fields[f].key->key.bytes;
        std::size_t match_end = 0;  // str.replace takes matches that do not overlap
        bool matched = false;
        for (std::size_t i = 0; i < count; ++i) {
            const std::size_t at = sites_[i].at;
            if (taken_[i] != kFree || at < match_end) continue;
            if (!key.empty() && sites_[i].next != static_cast<unsigned char>(key[0])) continue;
            // The text after the "%" is the expression's own up to the next replaced site.
            std::size_t limit = text.size();
            std::size_t inside = i + 1;  // sites within reach: the key holds a "%" there
            for (; inside < count && taken_[inside] == kFree; ++inside) {
            }
            if (inside < count) limit = sites_[inside].at;
            const std::size_t end = at + 1 + key.size();
            const std::size_t compared = std::min(end, limit) - (at + 1);
            if (text.compare(at + 1, compared, key.substr(0, compared)) != 0) continue;
            if (end > limit) {
                if (limit == text.size()) continue;  // the text ends first
                return false;                        // the key runs into inserted text
            }
            taken_[i] = static_cast<int>(f);
            for (std::size_t j = i + 1; j < count && sites_[j].at < end; ++j) taken_[j] = kConsumed;
            match_end = end;
            matched = true;
        }
        if (!matched) continue;
        // Inserted text holding a "%" would give later keys new places to match.
        const std::string_view value = fields[f].value->value.bytes;
        const bool colour = static_cast<int>(f) == coloured;
        if (value.find('%') != std::string_view::npos ||
            (colour && (before.find('%') != std::string_view::npos ||
                        after.find('%') != std::string_view::npos))) {
            return false;
        }
    }
    std::size_t copied = 0;
    for (std::size_t i = 0; i < count; ++i) {
        if (taken_[i] < 0) continue;
        const auto f = static_cast<std::size_t>(taken_[i]);
        out.append(text.substr(copied, sites_[i].at - copied));
        const bool colour = static_cast<int>(f) == coloured;
        if (colour) out.append(before);
        out.append(fields[f].value->value.bytes);
        if (colour) out.append(after);
        copied = sites_[i].at + 1 + fields[f].key->key.bytes.size();
    }
    out.append(text.substr(copied));
    return true;
}

namespace {

// text.replace("%" + key, value) for UTF-8 text: occurrences found left to right without
// overlap, as the host's str.replace finds them (a match starts at "%", an ASCII byte, and a
// key of valid UTF-8 ends on a character boundary, so bytes and characters agree). `value` is
// written as its three parts. `spare` keeps its room between calls.
void replace_placeholder(std::string& text, std::string& spare, std::string_view key,
                         std::string_view before, std::string_view value, std::string_view after) {
    const char* const begin = text.data();
    const std::size_t size = text.size();
    std::size_t copied = 0;
    std::size_t from = 0;
    bool replaced = false;
    while (from < size) {
        const void* found = std::memchr(begin + from, '%', size - from);
        if (found == nullptr) break;
        const auto at = static_cast<std::size_t>(static_cast<const char*>(found) - begin);
        if (size - at - 1 < key.size() ||
            std::memcmp(begin + at + 1, key.data(), key.size()) != 0) {
            from = at + 1;
            continue;
        }
        if (!replaced) spare.clear();
        replaced = true;
        spare.append(begin + copied, at - copied).append(before).append(value).append(after);
        copied = from = at + 1 + key.size();
    }
    if (!replaced) return;
    spare.append(begin + copied, size - copied);
    text.swap(spare);
}

}  // namespace

void ExpressionText::write_general(std::span<const LiftedEvent::Field> fields, int coloured,
                                   std::string_view before, std::string_view after,
                                   ByteBuffer& out) {
    text_.assign(expression_);
    for (std::size_t i = 0; i < fields.size(); ++i) {
        // Without a "%" no later key can change the text.
        if (text_.find('%') == std::string::npos) break;
        const bool colour = static_cast<int>(i) == coloured;
        replace_placeholder(text_, spare_, fields[i].key->key.bytes, colour ? before : "",
                            fields[i].value->value.bytes, colour ? after : "");
    }
    out.append(text_);
}

}  // namespace nerit::core
