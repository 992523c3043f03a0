// describe_files: many files described on a few threads, each file's failure kept as its error.
#include "orvelio/orvelio.hpp"

#include "format/error.hpp"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <fcntl.h>
#include <sys/stat.h>
#include <system_error>
#include <thread>
#include <unistd.h>

namespace orvelio {

namespace {

// Files up to this size are read whole into memory, then described there.
constexpr uint64_t kReadWhole = 64 << 10;

// The descriptor of one file of the batch, closed with it.
class Descriptor {
  public:
    explicit Descriptor(const std::filesystem::path &path) {
        // Without blocking: a FIFO opened here would wait for a writer.
        do
            fd_ = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
        while (fd_ < 0 && errno == EINTR);
        if (fd_ < 0)
            fail_os(errno, "opening the file");
    }
    ~Descriptor() { ::close(fd_); }
    Descriptor(const Descriptor &) = delete;
    Descriptor &operator=(const Descriptor &) = delete;
    int fd() const { return fd_; }

  private:
    int fd_ = -1;
};

// The value of `code` in merged parameters: a name takes the value of its last block.
Value chosen_value(const Parameters &merged, const std::string &code) {
    for (auto it = merged.rbegin(); it != merged.rend(); ++it)
        if (it->first == code)
            return it->second;
    return {};
}

// The blocks of the listing that a request can name, each once, in order.
std::vector<Block> nameable(std::vector<Block> listed) {
    std::vector<Block> out;
    for (Block &b : listed) {
        if (std::find(out.begin(), out.end(), b) != out.end())
            continue;
        try {
            validate(b);
        } catch (const Error &) {
            continue;
        }
        out.push_back(std::move(b));
    }
    return out;
}

void describe_into(FileDescription &out, const std::filesystem::path &path, const DescribeOptions &options) {
    const Descriptor file(path);
    struct stat st;
    if (fstat(file.fd(), &st) != 0)
        fail_os(errno, "reading the file's status");
    if (S_ISDIR(st.st_mode))
        fail_os(EISDIR, "opening the file");
    if (!S_ISREG(st.st_mode))
        fail_os(EINVAL, "opening the file (not a regular file)");
    out.size = static_cast<uint64_t>(st.st_size);
    // A small file is read whole, at once: one read instead of one per call (each call of a
    // Reader on a descriptor checks the file and reads its header again).
    thread_local std::vector<uint8_t> held;
    const bool small = out.size <= kReadWhole;
    if (small) {
        held.resize(static_cast<size_t>(out.size));
        size_t got = 0;
        while (got < held.size()) {
            const ssize_t n = ::pread(file.fd(), held.data() + got, held.size() - got, static_cast<off_t>(got));
            if (n < 0 && errno == EINTR)
                continue;
            if (n < 0)
                fail_os(errno);
            if (n == 0)
                fail_changed(); // cut since its size was read
            got += static_cast<size_t>(n);
        }
    }
    const Reader r = small ? Reader::from_memory(held) : Reader::from_fd(file.fd());
    if (!r.is_orvel()) {
        out.status = FileDescription::Status::not_orvel;
        return;
    }
    const std::vector<Block> blocks = options.block ? std::vector<Block>{*options.block} : nameable(r.blocks());
    out.blocks.reserve(blocks.size());
    for (const Block &b : blocks) {
        DescribedBlock &got = out.blocks.emplace_back();
        got.description = r.describe(b);
        got.chosen.reserve(options.parameters.size());
        for (const std::string &code : options.parameters)
            got.chosen.push_back(chosen_value(got.description.parameters, code));
        // Let go of here, on the thread that made them, rather than all at once by the caller.
        Parameters().swap(got.description.parameters);
        got.description.parameter_blocks.clear();
        if (options.values && got.description.kind == Kind::spectrum) {
            got.values.resize(got.description.row_length);
            r.read_rows(b, RowRange{0, 1}, got.values);
        }
    }
    out.status = FileDescription::Status::described;
}

// One file: its description, or its failure. Interruptions go on to the caller.
void describe_one(FileDescription &out, const std::filesystem::path &path, const DescribeOptions &options) {
    try {
        try {
            describe_into(out, path, options);
            return;
        } catch (const std::bad_alloc &) {
            throw Error(ErrorDetail::no_memory, "out of memory");
        }
    } catch (Error &e) {
        if (e.detail() == ErrorDetail::interrupted)
            throw;
        out.blocks.clear();
        out.status = FileDescription::Status::failed;
        out.error.emplace(std::move(e));
    }
}

} // namespace

std::vector<FileDescription> describe_files(std::span<const std::filesystem::path> paths,
                                            const DescribeOptions &options) {
    std::vector<FileDescription> out;
    std::vector<std::thread> helpers;
    std::atomic<size_t> next{0};
    std::atomic<bool> stop{false};
    std::atomic<bool> interrupted{false};
    // Takes files until none is left or the batch stops; `poll`: the calling thread's interrupt
    // check between files.
    const auto work = [&](bool poll) {
        using Clock = std::chrono::steady_clock;
        auto polled = Clock::time_point{};
        try {
            while (!stop.load(std::memory_order_relaxed)) {
                const size_t i = next.fetch_add(1);
                if (i >= paths.size())
                    break;
                if (poll && Clock::now() - polled > std::chrono::milliseconds(5)) {
                    check_interrupt();
                    polled = Clock::now();
                }
                describe_one(out[i], paths[i], options);
            }
        } catch (...) { // interrupted (nothing else leaves describe_one)
            interrupted = true;
            stop = true;
        }
    };
    try {
        out.resize(paths.size());
        unsigned threads = options.threads ? options.threads : std::max(1u, std::thread::hardware_concurrency());
        threads = static_cast<unsigned>(std::min<size_t>(threads, std::max<size_t>(paths.size(), 1)));
        helpers.reserve(threads - 1);
        for (unsigned t = 1; t < threads; ++t) {
            try {
                helpers.emplace_back(work, false);
            } catch (const std::system_error &) { // no more threads: fewer do the work
                break;
            }
        }
    } catch (const std::bad_alloc &) {
        stop = true;
        for (std::thread &t : helpers)
            t.join();
        throw Error(ErrorDetail::no_memory, "out of memory for the descriptions of " + std::to_string(paths.size()) +
                                                " files");
    }
    work(true);
    for (std::thread &t : helpers)
        t.join();
    if (interrupted)
        throw Error(ErrorDetail::interrupted, "the call was interrupted");
    return out;
}

} // namespace orvelio
