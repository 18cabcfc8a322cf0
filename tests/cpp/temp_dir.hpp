// A fresh directory under /tmp for one test case, removed with everything in it.
#pragma once

#include <cstdlib>
#include <filesystem>
#include <string>

struct TempDir {
    std::string path;
    TempDir() {
        char tmpl[] = "/tmp/orbisk-engine-test-XXXXXX";
        path = ::mkdtemp(tmpl);
    }
    ~TempDir() { std::filesystem::remove_all(path); }
};
