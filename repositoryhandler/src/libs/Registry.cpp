#include "Registry.h"

#include "OVException.h"
#include "RepositoryStatus.h"

// Built after the logger (which is initialised at the first priority) and destroyed before it,
// because destroying handlers may log.
RepMap repositoryMap __attribute__((init_priority(102)));

OVRepositoryHandler* RepMap::find(const std::string& path) const {
    auto it = handlers.find(path);
    return it == handlers.end() ? nullptr : it->second.get();
}

OVRepositoryHandler* RepMap::insert(const std::string& path,
                                    std::unique_ptr<OVRepositoryHandler> handler) {
    OVRepositoryHandler* stored = handler.get();
    handlers[path] = std::move(handler);
    return stored;
}

void RepMap::erase(const std::string& path) {
    handlers.erase(path);
}

OVRepositoryHandler* getRepository(const char* path) {
    ovAssert(path != nullptr, "path", __LINE__, kRepositorySource);
    // One directory spelled with a trailing or a doubled "/" is the same repository: one entry,
    // one handler, and so the same lock names.
    std::string key = normalizedRepositoryPath(path);
    if (OVRepositoryHandler* known = repositoryMap.find(key)) {
        if (known->isUpToDate()) {
            // Every flat entry point looks its repository up once, first: a new call begins.
            known->getDirtyFlags().beginCall();
            return known;
        }
        repositoryMap.erase(key);
    }
    return repositoryMap.insert(key, std::make_unique<OVRepositoryHandler>(key.c_str()));
}
