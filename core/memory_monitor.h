// Readings of the memory monitor: resident memory, installed RAM and the
// clocks, behind one small seam so that tests can drive the monitor.
#pragma once

#include "dvrcore/event_parms.h"

#include <chrono>
#include <cstdint>
#include <functional>

/// Resident memory of the process in bytes (32-bit); 0 when it cannot be read.
unsigned getHeapAlloc();

/// Installed RAM in bytes; 0 when the system does not tell.
uint64_t installedRam();

/// Where the memory monitor and the status summary read the time and memory,
/// and where the core's own records go when memory is short.
/// Defaults to the real clocks and readings; set before Run (tests only).
struct MonitorProbes {
    std::function<std::chrono::steady_clock::time_point()> steadyNow = [] { return std::chrono::steady_clock::now(); };
    std::function<std::chrono::system_clock::time_point()> wallNow = [] { return std::chrono::system_clock::now(); };
    std::function<unsigned()> heapAlloc = getHeapAlloc;
    std::function<uint64_t()> totalRam = installedRam;
    /// When set, takes the records the core builds itself (memory alarm,
    /// configuration document) instead of the event queue, and answers as the
    /// queue does (1: the payload could not be allocated).
    std::function<int(ox::core::EventParms&)> queueOwn;
};
