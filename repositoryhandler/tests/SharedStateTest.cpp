// State shared between real processes on real file systems: dirty flags and configuration edits
// made by one process are seen by every other at its next call, however coarse the file system's
// clock (whole seconds on ext4 with 128-byte inodes) and however soon it hands a freed inode
// number to the next file. Each test mounts one kind of file system in a private mount namespace
// of a child and runs every scenario there, each step of another process in a process of its own.
#include "OVDirtyFlagHandler.h"
#include "Registry.h"
#include "RepositoryTestSupport.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <functional>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// Runs step in a process of its own; true when none of its checks failed (the count of failed
// checks is inherited from the forking process).
bool inAnotherProcess(const std::function<void()>& step) {
    return runInChild([&] {
               int before = childFailures();
               step();
               return childFailures() - before;
           }) == 0;
}

std::string repositoryBelow(const std::string& root, const std::string& name) {
    std::string path = root + "/" + name;
    mkdir(path.c_str(), 0755);
    return path;
}

void setFlag(const std::string& repo, const char* id, bool dirty) {
    OVDirtyFlagHandler handler;
    handler.setRepository(repo.c_str());
    handler.setDirty(id, dirty);
}

// One process has read {a}; a second clears "a" and a third marks "b", all within a second or so.
// The third one's file has the size and times of the one the first process read, and on ext4 it
// would get its inode number too: the first process must still see "b" and keep it.
void noFlagIsLost(const std::string& root) {
    std::string repo = repositoryBelow(root, "lost");
    for (int round = 0; round < 20; ++round) {
        unlink((repo + "/.dirty").c_str());
        OVDirtyFlagHandler mine;
        mine.setRepository(repo.c_str());
        mine.setDirty("a", true);
        check(inAnotherProcess([&] { setFlag(repo, "a", false); }), "a second process clears a");
        check(inAnotherProcess([&] { setFlag(repo, "b", true); }), "a third process marks b");
        std::string r = " (round " + std::to_string(round) + ")";
        check(mine.isDirty("b"), "the mark of another process is seen" + r);
        check(!mine.isDirty("a"), "the clearing of another process is seen" + r);
        mine.setDirty("c", true);
        check(readFile(repo + "/.dirty") == "b\nc\n", "no flag is lost" + r);
    }
}

// Two processes take turns changing one-letter flags (so that many files have the same size),
// each checking before its change that it sees the whole set as the other left it.
void twoProcessesTakeTurns(const std::string& root) {
    std::string repo = repositoryBelow(root, "turns");
    const char* const ids[] = {"a", "b", "c"};
    auto expected = [&](int steps, const char* id) { // after steps 0 .. steps-1
        bool dirty = false;
        for (int k = 0; k < steps; ++k)
            if (ids[k % 3] == id)
                dirty = (k / 3) % 2 == 0;
        return dirty;
    };
    int toSecond[2], toFirst[2];
    if (pipe(toSecond) != 0 || pipe(toFirst) != 0) {
        check(false, "pipes");
        return;
    }
    const int steps = 30;
    auto play = [&](int first, int readFd, int writeFd) {
        OVDirtyFlagHandler handler;
        handler.setRepository(repo.c_str());
        for (int k = first; k < steps; k += 2) {
            char token = 'x';
            if (k > 0 && read(readFd, &token, 1) != 1)
                return;
            for (const char* id : ids)
                check(handler.isDirty(id) == expected(k, id),
                      std::string("flag ") + id + " before step " + std::to_string(k));
            handler.setDirty(ids[k % 3], (k / 3) % 2 == 0);
            if (write(writeFd, &token, 1) != 1)
                return;
        }
    };
    pid_t second = startChild([&] {
        close(toSecond[1]); // a first process that dies ends the wait instead of hanging it
        int before = childFailures();
        play(1, toSecond[0], toFirst[1]);
        return childFailures() - before;
    });
    close(toFirst[1]);
    play(0, toFirst[0], toSecond[1]);
    close(toSecond[1]);
    check(waitForChild(second) == 0, "the second process saw every change of the first");
    close(toSecond[0]);
    close(toFirst[0]);
}

// Edits of the configuration files by another process, each within the same second as the read
// before it and keeping the file's size, are seen by the next lookup.
void configurationEditsAreSeen(const std::string& root) {
    std::string repo = repositoryBelow(root, "config");
    std::string cfg = repo + "/repository.cfg", part = repo + "/repositorypart.cfg";
    writeFile(part, "moveLimit = 70\n");
    writeFile(cfg, "warnLimit = 50\n");
    repositoryMap.clear();
    OVRepositoryHandler* handler = getRepository(repo.c_str());
    check(handler->getWarnLimit() == 50 && handler->getMounts().size() == 1, "first read");
    mark(handler);
    check(isMarked(getRepository(repo.c_str())), "no edit: the same handler");

    check(inAnotherProcess([&] { writeFile(cfg, "warnLimit = 60\n"); }), "edit in place");
    handler = getRepository(repo.c_str());
    check(handler->getWarnLimit() == 60, "an edit in place is seen");
    check(inAnotherProcess([&] {
              writeFile(cfg + ".new", "warnLimit = 70\n");
              check(rename((cfg + ".new").c_str(), cfg.c_str()) == 0, "rename");
          }),
          "edit by replacing");
    handler = getRepository(repo.c_str());
    check(handler->getWarnLimit() == 70, "a replaced file is seen");
    check(inAnotherProcess([&] { writeFile(part, "moveLimit = 71\n"); }), "edit of the mount");
    handler = getRepository(repo.c_str());
    check(handler->getMounts()[0]->getMoveLimit() == 71, "an edit of the mount's file is seen");
    mark(handler);
    check(isMarked(getRepository(repo.c_str())), "after the edits: the same handler again");
    repositoryMap.clear();
}

} // namespace

// Change detection rests on the file system's times: nanoseconds (tmpfs, xfs) or one second (ext4
// with 128-byte inodes).
TEST(SharedState, DirtyFlagsAndConfigurationOnEveryFileSystem) {
    for (FileSystemKind kind :
         {FileSystemKind::Tmpfs, FileSystemKind::Ext4SmallInodes, FileSystemKind::Xfs}) {
        SCOPED_TRACE(nameOf(kind));
        TestRepository base; // the lock directory and an empty registry
        std::string root = base.addMount("fs", "", false);
        std::string scratch = base.addMount("scratch", "", false);
        EXPECT_SCENARIO(runInChild([&] {
            if (!enterPrivateMountNamespace() || !mountFileSystem(kind, root, scratch))
                return kNoNamespace;
            noFlagIsLost(root);
            twoProcessesTakeTurns(root);
            configurationEditsAreSeen(root);
            umount2(root.c_str(), 0);
            return childFailures();
        }));
    }
}
