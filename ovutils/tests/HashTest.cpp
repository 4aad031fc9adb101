#include "OVHash.h"
#include "OVPaths.h"
#include "TestSupport.h"

#include <filesystem>
#include <gtest/gtest.h>
#include <map>
#include <memory>
#include <string>
#include <unistd.h>

namespace fs = std::filesystem;

namespace {

std::string hashOf(const std::string& name) {
    return take(createHash(name.c_str()));
}
std::string hashed(const std::string& path) {
    return take(convertToHashed(path.c_str()));
}

// The hash prefix of a name computed column by column: the weights of byte i in level column j
// are (i + j + 1)^2, summed in plain ints and reduced once at the end.
std::string referencePrefix(const std::string& name) {
    const std::string alphabet = "QWERTYUIOPASDFGHJKLZXCVBNM1234567890_";
    std::string prefix;
    for (int j = 0; j < 6; ++j) {
        long long sum = 0;
        for (size_t i = 0; i < name.size(); ++i)
            sum += (long long)(unsigned char)name[i] * (long long)((i + j + 1) * (i + j + 1));
        prefix += alphabet[(sum % 256) % 37];
        if (j % 2 == 1)
            prefix += '/';
    }
    return prefix;
}

// Every entry below root (links not followed): "d" for directories, "f" for files and
// "-> target" for links.
std::map<std::string, std::string> tree(const std::string& root) {
    std::map<std::string, std::string> entries;
    for (const auto& entry : fs::recursive_directory_iterator(root)) {
        std::string kind = entry.is_symlink()     ? "-> " + fs::read_symlink(entry).string()
                           : entry.is_directory() ? "d"
                                                  : "f";
        entries[fs::relative(entry.path(), root).string()] = kind;
    }
    return entries;
}

// A hash root and a links root below a fresh directory, both with a trailing "/".
struct Roots {
    TempDir tmp;
    std::string hash = tmp / "hash/";
    std::string links = tmp / "links/";
    Roots() {
        fs::create_directory(hash);
        fs::create_directory(links);
    }
};

} // namespace

TEST(HashNames, WorkedExamples) {
    EXPECT_EQ("BC/6J/AJ/a", hashOf("a"));
    EXPECT_EQ("DM/_O/HX/12345", hashOf("12345"));
    EXPECT_EQ("a", hashed("a"));
    EXPECT_EQ("12345", hashed("12345"));
    EXPECT_EQ("DM/_O/HX/12345/", hashed("12345/"));
    EXPECT_EQ("DM/_O/HX/12345/", hashed("/12345/"));
    EXPECT_EQ("E1/ZL/XM/study/7T/ZU/ET/4711/", hashed("study/4711/"));
    EXPECT_EQ("PE/ZK/_E/x/AU/38/NT/y/z", hashed("x/y/z"));
    EXPECT_EQ("BC/6J/AJ/a/NM/R7/0H/b/", hashed("a//b/"));
    EXPECT_EQ("", hashed(""));
    EXPECT_EQ("abc", hashed("abc"));
    EXPECT_EQ("AU/38/NT/y/", hashed("y/"));
}

TEST(HashNames, HighBytesCountAsUnsigned) {
    // 0xff * (j + 1)^2 modulo 256 is 256 - (j + 1)^2: 255 252 247 240 231 220, modulo 37 the
    // table positions 33 30 25 18 9 35.
    EXPECT_EQ("85/ML/P0/\xff", hashOf("\xff"));
    const std::string names[] = {"\x80", "\x80\x7f\xe9", "r\xc3\xa9sum\xc3\xa9",
                                 std::string(40, '\xfe')};
    for (const std::string& name : names)
        EXPECT_EQ(referencePrefix(name) + name, hashOf(name)) << name;
}

TEST(HashDirectory, CreateMakesTreeAndLinks) {
    Roots roots;
    EXPECT_EQ(1, createDirectory(nullptr, roots.hash.c_str(), "4711"));
    EXPECT_EQ(2, createDirectory(nullptr, "hash", "4711/"));
    EXPECT_TRUE(tree(roots.hash).empty());

    // Roots count by their directory part only.
    std::string linkRoot = roots.links + "ignored";
    ASSERT_EQ(0, createHashDirectory(linkRoot.c_str(), roots.hash.c_str(), "study/4711/"));
    std::string study = roots.hash + "E1/ZL/XM/study/";
    std::string resource = study + "7T/ZU/ET/4711/";
    EXPECT_TRUE(fs::is_directory(resource));
    EXPECT_EQ(study, fs::read_symlink(roots.links + "study").string());
    EXPECT_EQ(resource, fs::read_symlink(study + "4711").string());
    writeFile(roots.links + "study/4711/data", "through the links");
    EXPECT_EQ("through the links", readFile(resource + "data"));

    auto hashTree = tree(roots.hash);
    auto linkTree = tree(roots.links);
    EXPECT_EQ(0, createHashDirectory(linkRoot.c_str(), roots.hash.c_str(), "study/4711/"));
    EXPECT_EQ(hashTree, tree(roots.hash));
    EXPECT_EQ(linkTree, tree(roots.links));
}

TEST(HashDirectory, RemoveClimbsWhileLevelsEmpty) {
    Roots roots;
    const char* hash = roots.hash.c_str();
    const char* links = roots.links.c_str();
    createHashDirectory(links, hash, "study/4711/");
    createHashDirectory(links, hash, "study/4712/");
    EXPECT_EQ(0, removeHashDirectory(links, hash, "study/4711/"));
    EXPECT_FALSE(fs::exists(roots.hash + "E1/ZL/XM/study/7T"));
    EXPECT_FALSE(fs::is_symlink(roots.links + "study/4711"));
    EXPECT_TRUE(fs::is_directory(roots.links + "study/4712/"));

    EXPECT_EQ(0, removeHashDirectory(links, hash, "study/4712/"));
    EXPECT_TRUE(tree(roots.hash).empty());
    EXPECT_TRUE(tree(roots.links).empty());
    EXPECT_EQ(-1, removeHashDirectory(links, hash, "study/4712/"));

    // Without a links root the links stay, dangling, and the link of 4711 keeps study in use.
    createHashDirectory(links, hash, "study/4711/");
    EXPECT_EQ(0, removeHashDirectory(nullptr, hash, "study/4711/"));
    EXPECT_FALSE(fs::exists(roots.hash + "E1/ZL/XM/study/7T"));
    EXPECT_TRUE(fs::is_symlink(roots.hash + "E1/ZL/XM/study/4711"));
    EXPECT_EQ(1u, tree(roots.links).size());
}

TEST(HashDirectory, RemoveKeepsWhatIsInUse) {
    Roots roots;
    const char* hash = roots.hash.c_str();
    const char* links = roots.links.c_str();
    createHashDirectory(links, hash, "study/4711/");
    std::string study = roots.hash + "E1/ZL/XM/study/";
    writeFile(study + "7T/ZU/ET/4711/data", "x");
    auto hashTree = tree(roots.hash);
    auto linkTree = tree(roots.links);
    EXPECT_EQ(-1, removeHashDirectory(links, hash, "study/4711/"));
    EXPECT_EQ(hashTree, tree(roots.hash));
    EXPECT_EQ(linkTree, tree(roots.links));

    // A regular file where the link of 4711 belongs dangles like a link, but is no link: it stays,
    // and keeps its level in use.
    fs::remove(study + "7T/ZU/ET/4711/data");
    fs::remove(study + "4711");
    writeFile(study + "4711", "not a link");
    EXPECT_EQ(0, removeHashDirectory(links, hash, "study/4711/"));
    EXPECT_EQ("not a link", readFile(study + "4711"));
    EXPECT_FALSE(fs::exists(study + "7T"));
    EXPECT_TRUE(fs::is_symlink(roots.links + "study"));
}

TEST(HashDirectory, PathsThatClimbOutAreRefusedAndTouchNothing) {
    // Sentinels outside both roots: a file, a directory the hashed path of "../escape/" would reach
    // through the links root, and a dangling link the link clean-up would otherwise remove.
    Roots roots;
    const std::string outside = roots.tmp / "escape/";
    fs::create_directory(outside);
    writeFile(outside + "sentinel", "keep");
    fs::create_directory_symlink("nowhere", outside + "dangling");
    ASSERT_EQ(0, createHashDirectory(roots.links.c_str(), roots.hash.c_str(), "study/4711/"));
    const auto before = tree(roots.tmp.path());

    const char* hash = roots.hash.c_str();
    const char* links = roots.links.c_str();
    SyslogCapture syslog;
    const char* refused[] = {"..",
                             "../",
                             "../escape/",
                             "../escape/dangling/",
                             "study/../../escape/",
                             "./study/4711/",
                             "study/./4711/",
                             "study/4711/..",
                             "study//../escape/",
                             "/../escape/"};
    for (const char* path : refused) {
        SCOPED_TRACE(path);
        syslog.clear();
        EXPECT_EQ(3, createHashDirectory(links, hash, path));
        EXPECT_EQ(3, createDirectory(nullptr, hash, path));
        EXPECT_EQ(-1, removeHashDirectory(links, hash, path));
        EXPECT_EQ(nullptr, convertToHashed(path));
        ASSERT_EQ(4u, syslog.messages().size());
        EXPECT_NE(std::string::npos, syslog.messages().front().find(path));
        EXPECT_EQ(before, tree(roots.tmp.path()));
    }
    syslog.clear();
    EXPECT_EQ(3, createHashDirectory(links, hash, nullptr));
    EXPECT_EQ(-1, removeHashDirectory(links, hash, nullptr));
    EXPECT_EQ(nullptr, convertToHashed(nullptr));
    EXPECT_EQ(3u, syslog.messages().size());
    EXPECT_EQ(before, tree(roots.tmp.path()));

    // Dots inside a name are no component of their own: such names are stored like any other.
    syslog.clear();
    for (const std::string name : {"...", "..a", "1.2..3", ".hidden"}) {
        SCOPED_TRACE(name);
        const std::string path = "study/" + name + "/";
        EXPECT_EQ(0, createHashDirectory(links, hash, path.c_str()));
        EXPECT_TRUE(fs::is_directory(roots.links + path));
        EXPECT_EQ(0, removeHashDirectory(links, hash, path.c_str()));
    }
    EXPECT_EQ(before, tree(roots.tmp.path()));
    EXPECT_TRUE(syslog.messages().empty());
}

// A path of no names ("", "/", "//") names the hash root itself, like "./": it is refused, and an
// empty hash root stays.
TEST(HashDirectory, PathsOfNoNamesDoNotRemoveTheHashRoot) {
    Roots roots;
    for (const char* path : {"", "/", "//"}) {
        SCOPED_TRACE(path);
        fs::create_directories(roots.hash);
        EXPECT_EQ(removeHashDirectory(roots.links.c_str(), roots.hash.c_str(), path), -1);
        EXPECT_TRUE(fs::is_directory(roots.hash));
    }
}
