#include "tables/index_file.hpp"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <system_error>
#include <utility>

#include "common/errors.hpp"
#include "common/hash.hpp"

namespace zel::tables {

namespace {

constexpr char kMagic[8] = {'Z', 'E', 'L', 'I', 'N', 'D', 'E', 'X'};
constexpr std::uint64_t kVersion = 1;

void put(std::string& out, std::uint64_t v) {
    for (int k = 0; k < 8; ++k) out += static_cast<char>((v >> (8 * k)) & 0xFF);
}

std::uint64_t get(const char* p) {
    std::uint64_t v = 0;
    for (int k = 0; k < 8; ++k) v |= std::uint64_t{static_cast<unsigned char>(p[k])} << (8 * k);
    return v;
}

std::size_t padded(std::size_t n) { return (n + 7) / 8 * 8; }

// The checksum stored after the directory: of the directory and the description.
std::uint64_t fixed_checksum(std::string_view directory, std::string_view header) {
    std::string bytes(directory);
    bytes.append(header);
    return hash_bytes(bytes);
}

[[noreturn]] void fail_io(const std::string& what, const std::string& path) {
    throw std::system_error(errno, std::generic_category(), what + " " + path);
}

// A file descriptor closed when it goes out of scope.
struct Fd {
    int fd = -1;
    ~Fd() {
        if (fd >= 0) ::close(fd);
    }
};

void write_all(int fd, std::string_view bytes, const std::string& path) {
    while (!bytes.empty()) {
        const ssize_t n = ::write(fd, bytes.data(), bytes.size());
        if (n < 0) {
            if (errno == EINTR) continue;
            fail_io("cannot write", path);
        }
        bytes.remove_prefix(static_cast<std::size_t>(n));
    }
}

// The file `path` names, followed through symbolic links (a link is saved through, to its
// target): absent or a regular file, else a ValueError, since replacing a device or a folder's
// entry of another kind would destroy what the user keeps there.
std::string save_target(const std::string& path) {
    std::string target = path;
    for (int hops = 0; hops < 40; ++hops) {
        struct stat st{};
        if (::lstat(target.c_str(), &st) != 0 || !S_ISLNK(st.st_mode)) break;
        std::string link(static_cast<std::size_t>(st.st_size) + 1, '\0');
        const ssize_t n = ::readlink(target.c_str(), link.data(), link.size());
        if (n < 0) fail_io("cannot read the link", target);
        link.resize(static_cast<std::size_t>(n));
        const std::size_t slash = target.rfind('/');
        target = link.starts_with('/') || slash == std::string::npos
                     ? link
                     : target.substr(0, slash + 1) + link;
    }
    struct stat st{};
    if (::stat(target.c_str(), &st) == 0 && !S_ISREG(st.st_mode)) {
        throw ValueError(path + ": not a regular file; an index is saved only to a regular file");
    }
    return target;
}

}  // namespace

void save_index(const std::string& path, std::string_view header,
                std::span<const TextTrie* const> tries,
                const std::function<void(std::size_t, std::size_t)>& step) {
    // Each trie's bytes are made when it is written (they can be as large as the trie), so the
    // fixed part, which lists their sizes, is written last into the room left for it.
    const std::size_t fixed = 8 * 5 + 16 * tries.size();
    const std::size_t first = padded(fixed + header.size());
    const std::string target = save_target(path);
    const std::string temp = target + ".tmp" + std::to_string(::getpid());
    Fd out;
    out.fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (out.fd < 0) fail_io("cannot write", path);
    try {
        std::vector<std::pair<std::uint64_t, std::uint64_t>> where;
        std::size_t at = first;
        if (::lseek(out.fd, static_cast<off_t>(first), SEEK_SET) < 0) fail_io("cannot seek", temp);
        for (std::size_t k = 0; k < tries.size(); ++k) {
            step(k, tries.size());
            const std::string bytes = tries[k]->serialize();
            write_all(out.fd, bytes, temp);
            write_all(out.fd, std::string(padded(bytes.size()) - bytes.size(), '\0'), temp);
            where.emplace_back(at, bytes.size());
            at += padded(bytes.size());
        }
        std::string head(kMagic, sizeof kMagic);
        put(head, kVersion);
        put(head, header.size());
        put(head, tries.size());
        for (const auto& [offset, size] : where) {
            put(head, offset);
            put(head, size);
        }
        put(head, fixed_checksum(head, header));
        head.append(header);
        head.resize(first, '\0');
        if (::lseek(out.fd, 0, SEEK_SET) < 0) fail_io("cannot seek", temp);
        write_all(out.fd, head, temp);
        if (::fsync(out.fd) != 0) fail_io("cannot write", temp);
        step(tries.size(), tries.size());
        if (::rename(temp.c_str(), target.c_str()) != 0) fail_io("cannot rename to", path);
    } catch (...) {
        ::unlink(temp.c_str());
        throw;
    }
}

std::shared_ptr<const IndexFile> IndexFile::open(const std::string& path, bool mapped) {
    const auto refuse = [&](const std::string& why) -> ValueError {
        return ValueError(path + ": not a saved rule-table index (" + why + ")");
    };
    Fd in;
    in.fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (in.fd < 0) fail_io("cannot open", path);
    struct stat st{};
    if (::fstat(in.fd, &st) != 0) fail_io("cannot read", path);
    if (!S_ISREG(st.st_mode)) throw refuse("not a regular file");
    const auto size = static_cast<std::size_t>(st.st_size);
    if (size < 8 * 5) throw refuse("too short");
    std::shared_ptr<IndexFile> file(new IndexFile());
    file->path_ = path;
    file->size_ = size;
    if (mapped) {
        void* data = ::mmap(nullptr, size, PROT_READ, MAP_SHARED, in.fd, 0);
        if (data == MAP_FAILED) fail_io("cannot map", path);
        file->data_ = static_cast<const char*>(data);
        file->fd_ = std::exchange(in.fd, -1);
        file->mtime_ = st.st_mtim;
    } else {
        file->memory_.resize(size);
        std::size_t done = 0;
        while (done < size) {
            const ssize_t n = ::read(in.fd, file->memory_.data() + done, size - done);
            if (n < 0 && errno == EINTR) continue;
            if (n < 0) fail_io("cannot read", path);
            if (n == 0) throw refuse("it is cut short");
            done += static_cast<std::size_t>(n);
        }
        file->data_ = file->memory_.data();
    }
    const char* p = file->data_;
    if (std::memcmp(p, kMagic, sizeof kMagic) != 0) throw refuse("it does not begin with one");
    if (get(p + 8) != kVersion) throw refuse("version " + std::to_string(get(p + 8)));
    const std::uint64_t header_size = get(p + 16), count = get(p + 24);
    if (count > size / 16 || header_size > size) throw refuse("its directory is damaged");
    const std::size_t fixed = 8 * 5 + 16 * count;
    if (fixed + header_size > size) throw refuse("it is cut short");
    if (get(p + fixed - 8) != fixed_checksum({p, fixed - 8}, {p + fixed, header_size})) {
        throw refuse("its directory is damaged");
    }
    file->header_ = {p + fixed, header_size};
    for (std::uint64_t k = 0; k < count; ++k) {
        const std::uint64_t offset = get(p + 32 + 16 * k), length = get(p + 40 + 16 * k);
        if (offset > size || length > size - offset) throw refuse("it is cut short");
        file->sections_.emplace_back(p + offset, length);
    }
    file->self_ = file;
    return file;
}

IndexFile::~IndexFile() {
    if (fd_ < 0) return;
    ::munmap(const_cast<char*>(data_), size_);
    ::close(fd_);
}

void IndexFile::check_unchanged() const {
    if (fd_ < 0) return;
    struct stat st{};
    if (::fstat(fd_, &st) != 0) fail_io("cannot read", path_);
    if (static_cast<std::size_t>(st.st_size) != size_ || st.st_mtim.tv_sec != mtime_.tv_sec ||
        st.st_mtim.tv_nsec != mtime_.tv_nsec) {
        throw ValueError(path_ +
                         ": the saved index was rewritten in place while it was open; open it "
                         "again (a save replaces the file whole, which open tables never see)");
    }
}

TextTrie IndexFile::trie(std::size_t k) const {
    std::shared_ptr<const IndexFile> self = self_.lock();
    return TextTrie::mapped(
        self, sections_.at(k),
        path_ + ": the saved index is damaged (section " + std::to_string(k) + ")",
        [self] { self->check_unchanged(); });
}

}  // namespace zel::tables
