#include "Registry.h"
#include "RepositoryStatus.h"
#include "RepositoryTestSupport.h"
#include "repositoryhandler.h"

#include <gtest/gtest.h>

TEST(EntryPoints, RepositoryStatusWithoutTheSwitchBit) {
    TestRepository repo;
    FakeFillLevels fill;
    std::string m = repo.addMount("m");
    repo.configure("mountPoints = m\nswitchLimit = 85\n");
    fill.setPercent(m, 86); // remind (80) and switch (85): 0x11
    EXPECT_EQ(getRepository(repo.id())->checkRepositoryStatus(), REPO_SWITCH | REPO_REMIND);
    EXPECT_EQ(getRepositoryStatus_(repo.id()), REPO_REMIND);
    EXPECT_EQ(getRepositoryStatus_((repo / "missing").c_str()), REPO_MISSING);
}

TEST(EntryPoints, SetupReadsTheConfigurationAgainInPlace) {
    TestRepository repo;
    repo.addMount("m");
    repo.configure("mountPoints = m\nwarnLimit = 50\n");
    setModified(repo / "repository.cfg", -100);
    OVRepositoryHandler* handler = getRepository(repo.id());
    handler->getDeletedDirs()->push_back("mark");

    // setup_ reads the configuration again into the same handler.
    setup_(repo.id());
    handler = getRepository(repo.id());
    EXPECT_EQ(handler->getWarnLimit(), 50);
    EXPECT_EQ(handler->getDeletedDirs()->size(), 1u); // the same handler

    // A change that keeps the modification time is still a change: the next lookup sees it.
    repo.configure("mountPoints = m\nwarnLimit = 60\n");
    setModified(repo / "repository.cfg", -100);
    handler = getRepository(repo.id());
    EXPECT_EQ(handler->getWarnLimit(), 60);
    EXPECT_TRUE(handler->getDeletedDirs()->empty());

    // A repository seen for the first time is built, then set up once more.
    TempDir other;
    setup_(other.path().c_str());
    EXPECT_NE(repositoryMap.find(other.path()), nullptr);
    EXPECT_NE(repositoryMap.find(repo.path()), nullptr);
}

TEST(EntryPoints, MountSwitchesPassThrough) {
    TestRepository repo;
    FakeFillLevels fill;
    std::string m0 = repo.addMount("m0"), m1 = repo.addMount("m1");
    repo.configure("mountPoints = m0\\m1\n");
    fill.setPercent(m0, 10);
    fill.setPercent(m1, 10);
    EXPECT_EQ(MountUnmount_(repo.id(), 1, false), 0);
    EXPECT_EQ(getRepositoryStatus_(repo.id()), REPO_INCOMPLETE);
    EXPECT_EQ(MountUnmount_(repo.id(), 2, true), -1);
    EXPECT_EQ(giveBackMounts_(repo.id()), 0);
    rndMount_(repo.id());
    EXPECT_EQ(getRepositoryStatus_(repo.id()), REPO_INCOMPLETE);
}
