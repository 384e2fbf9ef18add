// Texts that reach the XML report: XML 1.0 (section 2.2, production Char)
// cannot carry the C0 control characters other than tab, line feed and
// carriage return, nor U+FFFE and U+FFFF, not even as character references;
// one of them makes the whole report unreadable. They are dropped where a
// configured text is taken in (with a warning, so the operator learns it)
// and again by the report's writer as a last guard.
// Pure functions; thread-safe.
#pragma once

#include <cstddef>
#include <string>

namespace kovira {

// Drops every character XML 1.0 cannot carry from UTF-8 text (bytes that
// are not UTF-8 become U+FFFD first); returns how many were dropped or
// replaced.
std::size_t dropXmlForbidden(std::string& text);

// dropXmlForbidden, with one "[WARNING] <owner>: <key>: N characters XML
// cannot carry were dropped" line when anything was.
void takeXmlSafe(std::string& text, const std::string& owner, const std::string& key);

}  // namespace kovira
