#include "TestSupport.h"

#include <cerrno>
#include <cstdio>
#include <dirent.h>
#include <filesystem>
#include <fstream>
#include <numeric>
#include <set>
#include <sstream>
#include <stdexcept>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

namespace fs = std::filesystem;

namespace {

std::string readAll(std::FILE* file) {
    std::string text;
    std::rewind(file);
    char buffer[4096];
    for (size_t n; (n = std::fread(buffer, 1, sizeof buffer, file)) > 0;) {
        text.append(buffer, n);
    }
    std::fclose(file);
    return text;
}

} // namespace

RunResult runRelocate(const std::vector<std::string>& args, const RunOptions& options) {
    std::vector<char*> argv{const_cast<char*>("dcmrelocate")};
    for (const std::string& arg : args) {
        argv.push_back(const_cast<char*>(arg.c_str()));
    }
    argv.push_back(nullptr);

    // Files rather than pipes: nothing can block however much the child writes.
    std::FILE* out = std::tmpfile();
    std::FILE* err = std::tmpfile();
    if (out == nullptr || err == nullptr) {
        throw std::runtime_error("no temporary file for the child's output");
    }
    const pid_t pid = fork();
    if (pid == 0) {
        for (const std::string& setting : options.env) {
            putenv(const_cast<char*>(setting.c_str()));
        }
        if (dup2(fileno(out), 1) < 0 || dup2(fileno(err), 2) < 0 ||
            (!options.cwd.empty() && chdir(options.cwd.c_str()) != 0) ||
            (options.prepare && !options.prepare())) {
            _exit(kPrepareFailed);
        }
        execv(DCMRELOCATE_PROGRAM, argv.data());
        _exit(127);
    }
    RunResult result;
    int status = 0;
    pid_t waited = -1;
    while (pid > 0 && (waited = waitpid(pid, &status, 0)) < 0 && errno == EINTR) {
    }
    if (waited == pid && WIFEXITED(status)) {
        result.status = WEXITSTATUS(status);
    }
    result.out = readAll(out);
    result.err = readAll(err);
    return result;
}

TempDir::TempDir() {
    const char* base = std::getenv("TMPDIR");
    std::string pattern =
        std::string(base != nullptr && *base != '\0' ? base : "/tmp") + "/dcmrelocate-test.XXXXXX";
    if (mkdtemp(pattern.data()) == nullptr) {
        throw std::runtime_error("mkdtemp failed for " + pattern);
    }
    path_ = pattern;
}

TempDir::~TempDir() {
    std::error_code ignored;
    fs::remove_all(path_, ignored);
}

void writeText(const std::string& path, const std::string& text) {
    std::ofstream(path, std::ios::binary) << text;
}

std::string readFile(const std::string& path) {
    std::ostringstream text;
    text << std::ifstream(path, std::ios::binary).rdbuf();
    return text.str();
}

std::string treeListing(const std::string& root) {
    std::set<std::string> entries;
    for (const fs::directory_entry& entry : fs::recursive_directory_iterator(root)) {
        const std::string relative = fs::relative(entry.path(), root).string();
        entries.insert(entry.is_directory() ? relative + "/\n"
                                            : relative + " " + readFile(entry.path()) + "\n");
    }
    return std::accumulate(entries.begin(), entries.end(), std::string());
}

std::vector<std::string> listingOrder(const std::string& dir) {
    std::vector<std::string> names;
    if (DIR* handle = opendir(dir.c_str())) {
        while (const dirent* entry = readdir(handle)) {
            const std::string name = entry->d_name;
            if (name != "." && name != "..") {
                names.push_back(name);
            }
        }
        closedir(handle);
    }
    return names;
}

SampleSpec ctImage(const std::string& sopInstanceUID) {
    SampleSpec sample;
    sample.studyInstanceUID = "1.2.3";
    sample.sopInstanceUID = sopInstanceUID;
    sample.sopClassUID = kCtImageStorage;
    sample.studyDate = "20040315";
    return sample;
}

void writeDicom(const SampleSpec& sample, const std::string& path) {
    fs::create_directories(fs::path(path).parent_path());
    const OFCondition result = writeSampleFile(sample, path);
    if (result.bad()) {
        throw std::runtime_error("cannot write " + path + ": " + result.text());
    }
}
