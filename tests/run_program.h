// SPDX-License-Identifier: Apache-2.0
#pragma once
// Test helpers for whole-program tests: run an executable with its output
// captured in files, read those files, read back PNG and PPM images.

#include <dirent.h>
#include <fcntl.h>
#include <png.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace test_support {

inline std::string read_text(const std::filesystem::path& path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

// How a program is started, beyond its arguments.
struct CChildSetup {
    std::vector<std::string> environment;        // NAME=value entries that take precedence over ours
    std::vector<std::pair<int, rlim_t>> limits;  // setrlimit resource and limit
    int pending_signal = 0;  // blocked and raised before exec: it arrives as soon as the program unblocks it
    // closed_pipe: stdout and stderr; closed_stdout: stdout not open, stderr to its file
    enum COutput { files, closed_pipe, full_stdout, closed_stdout } output = files;
    std::string input;  // a file in the folder, opened for reading and writing as standard input; "" to inherit ours

    static CChildSetup with_environment(std::vector<std::string> entries)
    {
        CChildSetup setup;
        setup.environment = std::move(entries);
        return setup;
    }
    static CChildSetup with_limit(int resource, rlim_t limit)
    {
        CChildSetup setup;
        setup.limits = {{resource, limit}};
        return setup;
    }
    static CChildSetup with_output(COutput output)
    {
        CChildSetup setup;
        setup.output = output;
        return setup;
    }
    static CChildSetup with_input(std::string file)
    {
        CChildSetup setup;
        setup.input = std::move(file);
        return setup;
    }
};

// A started program whose stdout and stderr go to files in `folder`. It starts
// with the signals the tests send at their default actions and unblocked,
// whatever this process inherited.
class CChild {
public:
    CChild(const std::string& program, const std::vector<std::string>& args, const std::filesystem::path& folder,
           const CChildSetup& setup = {})
        : out_path_(folder / "stdout.txt"), err_path_(folder / "stderr.txt")
    {
        // Everything the child needs is made before fork: it only sets up, opens, dups and execs.
        std::vector<std::string> all = {program};
        all.insert(all.end(), args.begin(), args.end());
        std::vector<char*> argv;
        for (std::string& arg : all)
            argv.push_back(arg.data());
        argv.push_back(nullptr);
        std::vector<std::string> environment = setup.environment;  // first: getenv takes the first of a name
        for (char** entry = environ; *entry != nullptr; ++entry)
            environment.push_back(*entry);
        std::vector<char*> envp;
        for (std::string& entry : environment)
            envp.push_back(entry.data());
        envp.push_back(nullptr);
        const std::string input = setup.input.empty() ? "" : (folder / setup.input).string();
        int closed[2] = {-1, -1};
        if (setup.output == CChildSetup::closed_pipe && pipe(closed) != 0)
            return;
        pid_ = fork();
        if (pid_ == 0) {
            sigset_t none;
            sigemptyset(&none);
            sigprocmask(SIG_SETMASK, &none, nullptr);
            for (int number : {SIGHUP, SIGINT, SIGQUIT, SIGTERM, SIGPIPE})
                ::signal(number, SIG_DFL);
            for (const auto& [resource, limit] : setup.limits) {
                const rlimit value{limit, limit};
                setrlimit(resource, &value);
            }
            if (setup.pending_signal != 0) {
                sigset_t pending;
                sigemptyset(&pending);
                sigaddset(&pending, setup.pending_signal);
                sigprocmask(SIG_BLOCK, &pending, nullptr);
                raise(setup.pending_signal);
            }
            int out = -1, err = -1;
            if (setup.output == CChildSetup::closed_pipe) {
                close(closed[0]);
                out = err = closed[1];
            } else {
                out = setup.output == CChildSetup::full_stdout     ? open("/dev/full", O_WRONLY)
                      : setup.output == CChildSetup::closed_stdout ? -1
                                                                   : open(out_path_.c_str(),
                                                                          O_WRONLY | O_CREAT | O_TRUNC, 0644);
                err = open(err_path_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            }
            if (setup.output == CChildSetup::closed_stdout)
                close(STDOUT_FILENO);
            else
                dup2(out, STDOUT_FILENO);
            dup2(err, STDERR_FILENO);
            if (!input.empty())
                dup2(open(input.c_str(), O_RDWR | O_CREAT, 0644), STDIN_FILENO);
            execve(argv[0], argv.data(), envp.data());
            _exit(127);
        }
        if (closed[0] >= 0) {
            close(closed[0]);
            close(closed[1]);
        }
    }
    ~CChild()
    {
        if (pid_ > 0 && !waited_) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
    }

    // The exit status, 128 + signal when a signal ended it, -1 after `limit`.
    int wait(std::chrono::seconds limit = std::chrono::seconds(600))
    {
        const auto until = std::chrono::steady_clock::now() + limit;
        while (!waited_) {
            if (std::chrono::steady_clock::now() > until)
                return -1;
            reap(WNOHANG);
            if (!waited_)
                std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        return status_;
    }

    // Waits until stdout (or stderr) holds `text`; false if the program ended or `limit` passed first.
    bool wait_for_stdout(const std::string& text, std::chrono::seconds limit)
    {
        return wait_for(out_path_, text, limit);
    }
    bool wait_for_stderr(const std::string& text, std::chrono::seconds limit)
    {
        return wait_for(err_path_, text, limit);
    }

    void signal(int number) { kill(pid_, number); }
    // Stops the program where it is (SIGSTOP) and waits until it has stopped or ended.
    void pause()
    {
        kill(pid_, SIGSTOP);
        reap(WUNTRACED);
    }
    void resume() { kill(pid_, SIGCONT); }
    // Whether the program holds a file in `folder` open besides its stdout and
    // stderr: one it is writing, named or not.
    bool writing_in(const std::filesystem::path& folder) const
    {
        const std::string fds = "/proc/" + std::to_string(pid_) + "/fd";
        DIR* listing = opendir(fds.c_str());
        bool writing = false;
        while (listing != nullptr && !writing) {
            const dirent* entry = readdir(listing);
            if (entry == nullptr)
                break;
            char to[PATH_MAX];
            const ssize_t length = readlink((fds + "/" + entry->d_name).c_str(), to, sizeof to - 1);
            const std::string target(to, length > 0 ? size_t(length) : 0);
            writing = target.rfind(folder.string() + "/", 0) == 0 && target != out_path_.string() &&
                      target != err_path_.string();
        }
        if (listing != nullptr)
            closedir(listing);
        return writing;
    }
    bool ended()
    {
        reap(WNOHANG);
        return waited_;
    }
    std::string out() const { return read_text(out_path_); }
    std::string err() const { return read_text(err_path_); }

private:
    bool wait_for(const std::filesystem::path& path, const std::string& text, std::chrono::seconds limit)
    {
        const auto until = std::chrono::steady_clock::now() + limit;
        while (std::chrono::steady_clock::now() < until) {
            if (read_text(path).find(text) != std::string::npos)
                return true;
            reap(WNOHANG);
            if (waited_)
                return false;
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        return false;
    }
    // Collects the exit status once the program has ended.
    void reap(int options)
    {
        int status = 0;
        if (waited_ || waitpid(pid_, &status, options) != pid_ || WIFSTOPPED(status))
            return;
        waited_ = true;
        status_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    }

    std::filesystem::path out_path_, err_path_;
    pid_t pid_ = -1;
    bool waited_ = false;
    int status_ = -1;
};

struct CImage {
    uint32_t width = 0, height = 0;
    std::vector<uint8_t> rgb;  // rows from the file's first, 3 bytes per pixel
    const uint8_t* at(uint32_t file_row, uint32_t column) const { return &rgb[(size_t{file_row} * width + column) * 3]; }
};

// The rest of a PNG read begun on `info`, as RGB.
inline bool finish_png_read(png_image& info, CImage& image)
{
    info.format = PNG_FORMAT_RGB;
    image.width = info.width;
    image.height = info.height;
    image.rgb.assign(PNG_IMAGE_SIZE(info), 0);
    const bool ok = png_image_finish_read(&info, nullptr, image.rgb.data(), 0, nullptr) != 0;
    png_image_free(&info);
    return ok;
}

// False when the file is missing or not a PNG.
inline bool read_png(const std::filesystem::path& path, CImage& image)
{
    png_image info{};
    info.version = PNG_IMAGE_VERSION;
    return png_image_begin_read_from_file(&info, path.c_str()) && finish_png_read(info, image);
}

// The same for a PNG file's bytes in memory.
inline bool decode_png(const std::string& bytes, CImage& image)
{
    png_image info{};
    info.version = PNG_IMAGE_VERSION;
    return png_image_begin_read_from_memory(&info, bytes.data(), bytes.size()) && finish_png_read(info, image);
}

// Binary P6 with a maxval of 255, as the writer makes it.
inline bool read_ppm(const std::filesystem::path& path, CImage& image)
{
    std::ifstream in(path, std::ios::binary);
    std::string magic;
    unsigned maxval = 0;
    in >> magic >> image.width >> image.height >> maxval;
    if (!in || magic != "P6" || maxval != 255 || in.get() != '\n')
        return false;
    image.rgb.assign(size_t{image.width} * image.height * 3, 0);
    in.read(reinterpret_cast<char*>(image.rgb.data()), static_cast<std::streamsize>(image.rgb.size()));
    return static_cast<size_t>(in.gcount()) == image.rgb.size() && in.peek() == EOF;
}

// A fresh empty folder under the system's temporary folder, removed at the end.
class CScratchFolder {
public:
    CScratchFolder()
    {
        std::string pattern = (std::filesystem::temp_directory_path() / "vantrel-test-XXXXXX").string();
        path_ = mkdtemp(pattern.data());
    }
    ~CScratchFolder()
    {
        std::error_code ignored;
        std::filesystem::permissions(path_, std::filesystem::perms::owner_all, ignored);
        std::filesystem::remove_all(path_, ignored);
    }
    const std::filesystem::path& path() const { return path_; }
    // Names of the files in the folder, leaving out the captured output.
    std::vector<std::string> images() const
    {
        std::vector<std::string> names;
        for (const auto& entry : std::filesystem::directory_iterator(path_)) {
            const std::string name = entry.path().filename().string();
            if (name != "stdout.txt" && name != "stderr.txt")
                names.push_back(name);
        }
        return names;
    }

    // Whether a temporary file ("*.tmp") is in the folder.
    bool has_temporary() const
    {
        const std::vector<std::string> names = images();
        return std::any_of(names.begin(), names.end(), [](const std::string& n) { return n.ends_with(".tmp"); });
    }

private:
    std::filesystem::path path_;
};

}  // namespace test_support
