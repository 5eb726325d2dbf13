// Runs a fuzz entry point over every file of a stored corpus, so the normal test run
// replays the inputs that once found faults or cover the parsers' branches. Each input runs
// in a child process: a target reports a fault by crashing or aborting (or a sanitizer does),
// and the replay names every input that did so and fails.
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

namespace {

// 0 when the input ran through; otherwise what ended its child.
int replay(const std::filesystem::path& path)
{
    std::fflush(nullptr);
    const pid_t child = fork();
    if (child < 0)
        return -1;
    if (child == 0) {
        std::ifstream in(path, std::ios::binary);
        std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        // libFuzzer reserves return values other than 0 and -1.
        const int result = LLVMFuzzerTestOneInput(bytes.data(), bytes.size());
        std::fflush(nullptr);
        _exit(result == 0 || result == -1 ? 0 : 3);
    }
    int status = 0;
    if (waitpid(child, &status, 0) != child)
        return -1;
    if (WIFSIGNALED(status))
        return 128 + WTERMSIG(status);
    return WEXITSTATUS(status);
}

} // namespace

int main(int argc, char** argv)
{
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s CORPUS_DIR\n", argv[0]);
        return 2;
    }
    std::vector<std::filesystem::path> files;
    for (const auto& entry : std::filesystem::recursive_directory_iterator(argv[1]))
        if (entry.is_regular_file())
            files.push_back(entry.path());
    std::sort(files.begin(), files.end());
    if (files.empty()) {
        std::fprintf(stderr, "corpus %s is empty\n", argv[1]);
        return 1;
    }
    std::size_t failed = 0;
    for (const auto& path : files) {
        const int status = replay(path);
        if (status != 0) {
            std::fprintf(stderr, "FAIL %s (status %d)\n", path.c_str(), status);
            ++failed;
        }
    }
    std::printf("%zu passed, %zu failed\n", files.size() - failed, failed);
    return failed == 0 ? 0 : 1;
}
