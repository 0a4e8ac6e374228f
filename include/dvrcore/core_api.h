// For plugin authors: the core object as plugins see it, opaque, with the one
// request a plugin may make of it directly (stopping the core). Self-contained
// C++, no includes; plugins get the definitions from the core executable at
// load time. The other exported values are in dvrcore/process_info.h.
//
// Plugin code only: the core defines the whole class itself and never
// includes this header.
#ifndef OX_CORE_CORE_API_H
#define OX_CORE_CORE_API_H

#ifndef __cplusplus
#error "dvrcore/core_api.h is C++: the core accessor and DvrCore::Stop have C++ linkage"
#endif

/// The core process's one core object. Plugins hold it only by pointer, from
/// GetCore(); they cannot create, copy or delete it.
class DvrCore {
public:
    DvrCore() = delete;
    DvrCore(DvrCore const&) = delete;
    DvrCore& operator=(DvrCore const&) = delete;
    ~DvrCore() = delete;

    /// Asks the core to stop. Callable from any thread and any plugin entry
    /// point, any number of times; returns at once. The core then delivers
    /// what is queued, closes and unloads every plugin (the caller included)
    /// in the usual order and exits with status 0. A plugin must therefore not
    /// wait inside an entry point for the stop to happen.
    void Stop();
};

/// The core object; never null while a plugin is loaded.
DvrCore* GetCore();

#endif /* OX_CORE_CORE_API_H */
