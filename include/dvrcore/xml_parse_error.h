// Part of the XML toolkit that the core exports to plugins: the exception the
// parser throws, one of a fixed set of messages and where it happened.
#pragma once

#include <cstddef>
#include <stdexcept>

namespace rapidxml {

class parse_error : public std::runtime_error {
public:
    /// what: a string literal; where: the byte at which the fault was found;
    /// position: its offset from the start of the parsed text.
    parse_error(char const* what, void const* where, std::size_t position)
        : std::runtime_error(what), where_(where), position_(position) {}

    /// The faulty byte inside the caller's text (or its end).
    template <class Ch>
    Ch const* where() const noexcept { return static_cast<Ch const*>(where_); }

    /// Offset of the faulty byte from the start of the parsed text.
    std::size_t position() const noexcept { return position_; }

private:
    void const* where_;      ///< points into the parsed text
    std::size_t position_;   ///< offset of where_
};

} // namespace rapidxml
