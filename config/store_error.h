// The store's failure for a file it could not reach: open, status or read
// failed with an errno. Everything else it throws (not XML, not well-formed,
// not a regular file, too large) is about what the file holds.
#pragma once

#include <stdexcept>
#include <string>

namespace oxcfg {

/// A std::runtime_error with the store's text, and the errno behind it, so a
/// caller can tell a file it could not read this time (descriptors exhausted,
/// no permission, an I/O error) from a damaged one. ENOENT: the file is missing.
class AccessError : public std::runtime_error {
public:
    AccessError(std::string const& what, int err) : std::runtime_error(what), err_(err) {}
    int error() const noexcept { return err_; }

private:
    int err_;
};

} // namespace oxcfg
