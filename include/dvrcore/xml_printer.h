// For plugin authors: printing a node of the exported XML toolkit and its
// subtree as XML text.
#pragma once

#include "xml_node.h"

#include <string>

namespace rapidxml {

/// Print flags.
inline constexpr int kPrintNoIndent = 1;       ///< no tabs, no line breaks
inline constexpr int kPrintMaskPasswords = 2;  ///< "password" attributes (any case) print as "*****"

/// Exact number of characters toXml<Flags> produces for the node.
/// Instantiated for flags 0 to 3.
template <int Flags, class Ch>
unsigned xmlLen(xmlNode<Ch> const& node);

/// Prints the node into a string that first reserves `reserve` characters;
/// with trim the spare capacity is released afterwards.
template <int Flags = kPrintNoIndent, class Ch = char>
std::basic_string<Ch> toXml(xmlNode<Ch> const& node, unsigned reserve, bool trim);

/// Prints the node into a string reserved to exactly its length.
template <int Flags = kPrintNoIndent, class Ch = char>
std::basic_string<Ch> toXml(xmlNode<Ch> const& node, bool trim) {
    return toXml<Flags, Ch>(node, xmlLen<Flags, Ch>(node), trim);
}

} // namespace rapidxml
