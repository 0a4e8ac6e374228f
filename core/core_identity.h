// What the core is and where it runs from, as the configuration document and
// the plugins see it.
#pragma once

#include <filesystem>
#include <string>

namespace ox::core {

/// Written on the main thread only, before any other thread reads it (the
/// constructor, Init for the machine id, loadConfig for the product, all
/// before the first plugin loads and the dispatcher runs); read-only
/// afterwards, so any thread reads it without a lock.
struct CoreIdentity {
    std::filesystem::path exePath;        ///< canonical path of the executable
    std::string machineId;                ///< the key plugins get with Load; empty when unknown
    std::string product = "orvelStudio";  ///< from the product description
    std::string version;                  ///< the core's own version text
};

} // namespace ox::core
