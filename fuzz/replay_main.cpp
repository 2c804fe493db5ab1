// Runs a fuzz target's entry function on files, without libFuzzer: the regression test of
// the normal build, and the writer of the target's starting inputs.
//
//   <program> PATH...              every file named, and every file in every folder named
//                                  (sorted, not recursive, README and hidden files left
//                                  out); fails when no file was found
//   <program> --make-corpus DIR    writes the target's starting inputs into DIR
//
// A fault in the target aborts the program; the last "replay:" line names the input.

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <system_error>
#include <vector>

#include "FuzzSupport.h"

namespace fs = std::filesystem;

namespace {

// Hidden files and a folder's README are not inputs.
bool isInput(const fs::path& path) {
    const std::string name = path.filename().string();
    return !name.empty() && name[0] != '.' && name != "README";
}

bool readFile(const fs::path& path, std::vector<uint8_t>& bytes) {
    std::ifstream file(path, std::ios::binary);
    if (!file) return false;
    bytes.assign(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
    return !file.bad();
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 3 && std::string(argv[1]) == "--make-corpus") {
        std::error_code ec;
        fs::create_directories(argv[2], ec);
        const int n = fuzzWriteCorpus(argv[2]);
        std::printf("wrote %d starting inputs into %s\n", n, argv[2]);
        return n > 0 ? 0 : 1;
    }
    if (argc < 2) {
        std::fprintf(stderr, "usage: %s PATH... | --make-corpus DIR\n", argv[0]);
        return 2;
    }

    std::vector<fs::path> files;
    for (int i = 1; i < argc; ++i) {
        const fs::path arg(argv[i]);
        std::error_code ec;
        if (fs::is_directory(arg, ec)) {
            std::vector<fs::path> inFolder;
            for (const auto& entry : fs::directory_iterator(arg, ec))
                if (entry.is_regular_file() && isInput(entry.path()))
                    inFolder.push_back(entry.path());
            std::sort(inFolder.begin(), inFolder.end());
            files.insert(files.end(), inFolder.begin(), inFolder.end());
        } else if (fs::is_regular_file(arg, ec)) {
            files.push_back(arg);
        } else {
            std::fprintf(stderr, "replay: %s is neither a file nor a folder\n", argv[i]);
            return 2;
        }
    }
    if (files.empty()) {
        std::fprintf(stderr, "replay: no input files found\n");
        return 1;
    }

    std::vector<uint8_t> bytes;
    for (const auto& path : files) {
        if (!readFile(path, bytes)) {
            std::fprintf(stderr, "replay: cannot read %s\n", path.c_str());
            return 1;
        }
        std::fprintf(stderr, "replay: %s (%zu bytes)\n", path.c_str(), bytes.size());
        // A copy of exactly the file's size, so a read past the input is a sanitizer report.
        std::vector<uint8_t> exact(bytes);
        LLVMFuzzerTestOneInput(exact.data(), exact.size());
    }
    std::printf("replayed %zu inputs\n", files.size());
    return 0;
}
