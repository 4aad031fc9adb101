#ifndef REPOSITORYHANDLER_TESTS_TWOMOUNTS_H
#define REPOSITORYHANDLER_TESTS_TWOMOUNTS_H

#include "OVHash.h"
#include "OVPaths.h"
#include "Registry.h"
#include "RepositoryTestSupport.h"

#include <cstdio>
#include <memory>
#include <string>
#include <sys/stat.h>

// A repository with two mounts m0 and m1 at 10 % (unless changed) and a legacy directory, as
// file systems of their own.
struct TwoMounts {
    using Owned = std::unique_ptr<char[]>;

    TwoMounts() {
        m0 = repo.addMount("m0");
        m1 = repo.addMount("m1");
        legacy = repo / "legacy";
        mkdir(legacy.c_str(), 0755);
        repo.configure("mountPoints = m0\\m1\nlegacyDir = " + legacy + "\n");
        fill.setPercent(m0, 10);
        fill.setPercent(m1, 10);
    }
    OVRepositoryHandler* handler() { return getRepository(repo.id()); }
    // The location of resource on a mount: mount + "/" + three hash levels + "/" + resource.
    std::string on(const std::string& mount, const std::string& resource) {
        Owned hashed(convertToHashed((resource + "/").c_str()));
        std::string location = mount + "/" + hashed.get();
        location.pop_back();
        return location;
    }
    std::string make(const std::string& mount, const std::string& resource,
                     const std::string& file = "f") {
        std::string location = on(mount, resource);
        mkdirs(location.c_str(), 0755);
        if (!file.empty())
            writeFile(location + "/" + file, file);
        return location;
    }
    void unmount(const std::string& mount) {
        rename((mount + "/repositorypart.cfg").c_str(), (mount + "/repositorypart.no").c_str());
    }
    std::string lookUp(const char* resource, int& status) {
        status = -1;
        Owned location(handler()->getLocation(resource, &status, true, false));
        return location ? location.get() : "(null)";
    }

    TestRepository repo;
    FakeFillLevels fill;
    AcrossFileSystems across; // m0, m1 and legacy behave as three file systems
    std::string m0, m1, legacy;
};

#endif
