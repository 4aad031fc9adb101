#ifndef REPOSITORYHANDLER_REGISTRY_H
#define REPOSITORYHANDLER_REGISTRY_H

#include "OVRepositoryHandler.h"

#include <map>
#include <memory>
#include <string>

// The process-wide registry of repository handlers, keyed by the normalised path text
// (normalizedRepositoryPath). It owns its
// handlers and deletes them when it is destroyed.
class RepMap {
public:
    OVRepositoryHandler* find(const std::string& path) const;
    OVRepositoryHandler* insert(const std::string& path,
                                std::unique_ptr<OVRepositoryHandler> handler);
    void erase(const std::string& path);
    size_t size() const { return handlers.size(); }
    void clear() { handlers.clear(); }

private:
    std::map<std::string, std::unique_ptr<OVRepositoryHandler>> handlers;
};

extern RepMap repositoryMap;

// The handler of the repository at path (normalised first): built on first use, and built anew
// whenever its configuration changed. Never null; the pointer is valid only until the next
// lookup. An exception while building a handler passes on, and nothing is stored. Each lookup
// begins a new call of the library for the handler's dirty flags (see beginCall).
OVRepositoryHandler* getRepository(const char* path);

#endif
