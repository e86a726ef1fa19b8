// The expression layout: "%<key>" replaced by the key's value, key by key in the event's order,
// as successive str.replace calls leave the text.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "core/byte_buffer.hpp"
#include "core/event_lift.hpp"

namespace nerit::core {

class ExpressionText {
  public:
    explicit ExpressionText(std::string expression);

    bool empty() const noexcept { return expression_.empty(); }

    // Appends the expression with the fields' placeholders replaced (every field's value being
    // text). The value of the field at index `coloured` is written between `before` and `after`.
    void write(std::span<const LiftedEvent::Field> fields, int coloured, std::string_view before,
               std::string_view after, ByteBuffer& out);

  private:
    // A "%" of the expression and the byte after it (0 at the end).
    struct Site {
        std::size_t at;
        unsigned char next;
    };
    static constexpr int kFree = -1;      // the "%" is still there
    static constexpr int kConsumed = -2;  // inside the placeholder of an earlier site
    static constexpr std::size_t kMaxSites = 64;

    // The usual case: no inserted text holds a "%" and no key runs into inserted text, so the
    // text is the expression with some of its sites replaced. False when that does not hold.
    bool write_planned(std::span<const LiftedEvent::Field> fields, int coloured,
                       std::string_view before, std::string_view after, ByteBuffer& out);
    // Every replacement done on the text in turn.
    void write_general(std::span<const LiftedEvent::Field> fields, int coloured,
                       std::string_view before, std::string_view after, ByteBuffer& out);

    std::string expression_;
    std::vector<Site> sites_;
    bool planned_ = true;  // whether the sites are all known
    // Per call: the field that replaced each site, or kFree / kConsumed.
    std::vector<int> taken_;
    std::string text_;
    std::string spare_;
};

}  // namespace nerit::core
