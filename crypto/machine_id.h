// The machine identity: what the site script prints, read once at start-up.
#pragma once

#include <string>

/// Runs "sudo -n ./scripts/get_id.sh", then "./scripts/get_id.sh" (relative to
/// the working directory), and returns the first non-empty output unchanged.
/// Without one, returns the SHA-256 of empty input as 64 lowercase hex digits.
/// Never fails. Blocks while the script runs.
std::string getMachineId();

/// The identity used when no script answers (start-up reports it).
std::string fallbackMachineId();
