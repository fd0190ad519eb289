// A private scratch working directory for the fuzz targets. The bridge writes its log and reads its
// configuration relative to the working directory; a target steps into this directory around each
// call and back out, so the directory libFuzzer runs in (corpora, artifacts) is never written to.
#pragma once

#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace bcst {

class ScratchDir {
  public:
    ScratchDir() {
        char pattern[] = "/tmp/bcstfuzz-XXXXXX";
        if (mkdtemp(pattern) == nullptr) {
            perror("mkdtemp");
            abort();
        }
        memcpy(path_, pattern, sizeof pattern);
        dir_ = open(path_, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        home_ = open(".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (dir_ < 0 || home_ < 0) {
            perror("open scratch directory");
            abort();
        }
    }
    ~ScratchDir() {
        Clear();
        close(dir_);
        close(home_);
        rmdir(path_);
    }
    ScratchDir(const ScratchDir&) = delete;
    ScratchDir& operator=(const ScratchDir&) = delete;

    void Enter() const {
        if (fchdir(dir_) != 0) {
            abort();
        }
    }
    void Leave() const {
        if (fchdir(home_) != 0) {
            abort();
        }
    }
    int fd() const { return dir_; }

    // Removes every file in the directory (the log grows by an entry or more per run).
    void Clear() const {
        const int copy = dup(dir_);
        DIR* dir = copy >= 0 ? fdopendir(copy) : nullptr;
        if (dir == nullptr) {
            return;
        }
        rewinddir(dir);
        while (struct dirent* entry = readdir(dir)) {
            if (strcmp(entry->d_name, ".") != 0 && strcmp(entry->d_name, "..") != 0) {
                unlinkat(dir_, entry->d_name, 0);
            }
        }
        closedir(dir);
    }

  private:
    char path_[32];
    int dir_ = -1;
    int home_ = -1;
};

}  // namespace bcst
