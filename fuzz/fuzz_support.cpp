#include "fuzz/fuzz_support.h"

#include <dirent.h>
#include <fcntl.h>
#include <net/if.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "commands/device_search.h"
#include "commands/file_commands.h"
#include "core/alloc.h"
#include "core/timer_queue.h"
#include "gateway/frame.h"
#include "gateway/name_table.h"
#include "gateway/peer.h"
#include "net/listener.h"
#include "net/udp_endpoint.h"

namespace {

FakeSocket g_sockets[kMaxFakeSockets];
std::uint64_t g_now = 1000000;
std::uint64_t fake_tick() {
    return g_now;
}

std::string g_scratch;

// Files the gateway writes during one input stay far below this; a seek to a huge offset
// followed by a write fails with "file too large" instead of growing a sparse giant.
constexpr rlim_t kFileSizeCap = 16u << 20;

FakeSocket* socket_of(sock_t handle) {
    if (handle < kFakeHandleBase || handle >= kFakeHandleBase + kMaxFakeSockets) return nullptr;
    return &g_sockets[handle - kFakeHandleBase];
}

std::uint32_t be16(const std::string& bytes, std::size_t at) {
    return (static_cast<std::uint32_t>(static_cast<unsigned char>(bytes[at])) << 8) |
           static_cast<unsigned char>(bytes[at + 1]);
}

}  // namespace

void fuzz_fail(const char* what, const char* detail) {
    std::fprintf(stderr, "\n*** fuzz check failed: %s %s\n", what, detail);
    std::abort();
}

void fuzz_enter_private_network() {
    if (unshare(CLONE_NEWNET | CLONE_NEWUTS) != 0) {
        std::perror("unshare(CLONE_NEWNET | CLONE_NEWUTS) (the target must run as root)");
        std::abort();
    }
    static const char kHostName[] = "localhost";
    if (sethostname(kHostName, sizeof kHostName - 1) != 0) {
        std::perror("sethostname");
        std::abort();
    }
    int fd = socket(AF_INET, SOCK_DGRAM, 0);
    ifreq request{};
    std::strncpy(request.ifr_name, "lo", IFNAMSIZ - 1);
    bool up = fd >= 0 && ioctl(fd, SIOCGIFFLAGS, &request) == 0;
    request.ifr_flags = static_cast<short>(request.ifr_flags | IFF_UP);
    up = up && ioctl(fd, SIOCSIFFLAGS, &request) == 0;
    if (fd >= 0) close(fd);
    if (!up) {
        std::perror("bringing up loopback in the private namespace");
        std::abort();
    }
}

namespace {

bool starts_with(const char* text, const char* prefix) {
    return std::strncmp(text, prefix, std::strlen(prefix)) == 0;
}

std::string absolute(const std::string& cwd, const std::string& path) {
    return path.empty() || path[0] == '/' ? path : cwd + "/" + path;
}

// The directory part of an artifact prefix ("dir/crash-" -> "dir").
std::string directory_of(const std::string& prefix) {
    std::size_t slash = prefix.rfind('/');
    return slash == std::string::npos ? std::string(".") : prefix.substr(0, slash);
}

bool is_directory(const std::string& path) {
    std::error_code ignored;
    return std::filesystem::is_directory(path, ignored);
}

void unmount_scratch() {
    if (g_scratch.empty()) return;
    if (chdir("/") != 0) return;
    umount2(g_scratch.c_str(), MNT_DETACH);
    rmdir(g_scratch.c_str());
}

}  // namespace

void fuzz_sandbox(int* argc, char*** argv, const char* tag) {
    char cwd_buffer[4096];
    if (getcwd(cwd_buffer, sizeof cwd_buffer) == nullptr) fuzz_fail("getcwd");
    const std::string cwd = cwd_buffer;

    // libFuzzer parses its command line after this hook: rewrite it with absolute paths and
    // note the directories it writes to.
    static std::vector<std::string> rewritten;
    static std::vector<char*> pointers;
    std::vector<std::string> writable;
    bool first_corpus = true;
    bool artifact_prefix_given = false;
    rewritten.emplace_back((*argv)[0]);
    rewritten.reserve(static_cast<std::size_t>(*argc) + 2);
    for (int i = 1; i < *argc; ++i) {
        std::string arg = (*argv)[i];
        if (starts_with(arg.c_str(), "-artifact_prefix=")) {
            std::string value = absolute(cwd, arg.substr(17));
            arg = "-artifact_prefix=" + value;
            artifact_prefix_given = true;
            writable.push_back(directory_of(value));
        } else if (starts_with(arg.c_str(), "-exact_artifact_path=")) {
            std::string value = absolute(cwd, arg.substr(21));
            arg = "-exact_artifact_path=" + value;
            writable.push_back(directory_of(value));
        } else if (starts_with(arg.c_str(), "-dict=")) {
            arg = "-dict=" + absolute(cwd, arg.substr(6));
        } else if (arg[0] != '-') {
            arg = absolute(cwd, arg);
            if (first_corpus && is_directory(arg)) writable.push_back(arg);
            first_corpus = false;
        }
        rewritten.push_back(arg);
    }
    // A write beyond the size cap must fail like a full disk (the gateway answers it), not
    // end the run: libFuzzer would otherwise catch the signal.
    rewritten.emplace_back("-handle_xfsz=0");
    // libFuzzer's default artifact place is "./", which is about to become the scratch.
    if (!artifact_prefix_given) {
        rewritten.push_back("-artifact_prefix=" + cwd + "/");
        writable.push_back(cwd);
    }
    for (std::string& arg : rewritten) pointers.push_back(arg.data());
    pointers.push_back(nullptr);
    *argv = pointers.data();
    *argc = static_cast<int>(rewritten.size());

    // Named after the process, so that a run can tell leftovers of ended runs (a crash ends
    // the process without the exit handler) from directories still in use.
    g_scratch = std::string("/tmp/zv-fuzz-") + tag + "-" + std::to_string(getpid());
    if (mkdir(g_scratch.c_str(), 0700) != 0) fuzz_fail("mkdir", g_scratch.c_str());

    if (unshare(CLONE_NEWNS) != 0) fuzz_fail("unshare(CLONE_NEWNS): the target must run as root");
    if (mount("none", "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) fuzz_fail("private /");
    // Binds first: a bind takes the read-only flag of the mount it comes from.
    for (const std::string& dir : writable) {
        if (is_directory(dir) && mount(dir.c_str(), dir.c_str(), nullptr, MS_BIND, nullptr) != 0) {
            fuzz_fail("bind", dir.c_str());
        }
    }
    std::vector<std::string> mount_points;
    if (std::FILE* mounts = std::fopen("/proc/self/mounts", "r")) {
        char device[4096], point[4096];
        while (std::fscanf(mounts, "%4095s %4095s %*[^\n]", device, point) == 2) {
            mount_points.emplace_back(point);
        }
        std::fclose(mounts);
    }
    for (const std::string& point : mount_points) {
        bool keep = false;
        for (const std::string& dir : writable) keep = keep || dir == point;
        if (!keep)
            mount(nullptr, point.c_str(), nullptr, MS_BIND | MS_REMOUNT | MS_RDONLY, nullptr);
    }
    if (mount("tmpfs", g_scratch.c_str(), "tmpfs", 0, "size=64m") != 0) fuzz_fail("scratch tmpfs");
    if (chdir(g_scratch.c_str()) != 0) fuzz_fail("chdir to the scratch directory");
    std::atexit(unmount_scratch);

    std::signal(SIGXFSZ, SIG_IGN);
    rlimit cap{kFileSizeCap, kFileSizeCap};
    setrlimit(RLIMIT_FSIZE, &cap);

    // Proof that the confinement holds before any input runs.
    std::string probe = cwd + "/.zv-fuzz-write-probe";
    if (std::FILE* f = std::fopen(probe.c_str(), "w")) {
        std::fclose(f);
        std::remove(probe.c_str());
        bool allowed = false;
        for (const std::string& dir : writable) allowed = allowed || dir == cwd;
        if (!allowed) fuzz_fail("the file system is still writable outside the scratch directory");
    }
}

bool fuzz_clean_scratch_dir(bool (*allowed)(const char* name)) {
    bool all_allowed = true;
    DIR* dir = opendir(".");
    if (dir == nullptr) fuzz_fail("cannot list the scratch directory");
    while (dirent* entry = readdir(dir)) {
        const char* name = entry->d_name;
        if (std::strcmp(name, ".") == 0 || std::strcmp(name, "..") == 0) continue;
        if (!allowed(name)) {
            std::fprintf(stderr, "unexpected entry in the working directory: %s\n", name);
            all_allowed = false;
        }
        std::error_code ignored;
        std::filesystem::remove_all(name, ignored);
    }
    closedir(dir);
    return all_allowed;
}

void fuzz_silence_stdout() {
    int null = open("/dev/null", O_WRONLY);
    if (null >= 0) {
        std::fflush(stdout);
        dup2(null, STDOUT_FILENO);
        close(null);
    }
}

FakeSocket& fake_socket(int index) {
    return g_sockets[index];
}

sock_t fake_handle(int index) {
    return kFakeHandleBase + index;
}

int fake_write(sock_t handle, const char* bytes, int count, Connection*) {
    FakeSocket* s = socket_of(handle);
    if (s == nullptr) fuzz_fail("write to an unknown handle");
    if (count <= 0) fuzz_fail("write of no bytes");
    int n = s->budget < 0 || s->budget > count ? count : s->budget;
    if (s->budget > 0) s->budget -= n;
    if (n == 0) return 0;
    s->sent.append(bytes, static_cast<std::size_t>(n));
    s->writes.emplace_back(bytes, static_cast<std::size_t>(n));
    return n;
}

int fake_read_nothing(sock_t, char*, int, Connection*) {
    return 0;
}

int fake_close(sock_t) {
    return 0;
}

void fake_sockets_clear() {
    for (FakeSocket& s : g_sockets) s = FakeSocket{};
}

void fake_sockets_refill() {
    for (FakeSocket& s : g_sockets) s.budget = s.refill;
}

Connection* fake_client(int socket_index, std::uint32_t addr_host, std::uint16_t port) {
    Connection* c = conn_create(fake_handle(socket_index), kKindClient, port);
    if (c == nullptr) fuzz_fail("no room for a fake client");
    c->read_fn = fake_read_nothing;
    c->write_fn = fake_write;
    c->close_fn = fake_close;
    ClientEndpointInfo info{port, 0, platform::host_to_net32(addr_host)};
    std::memcpy(c->endpoint_info, &info, sizeof info);
    c->peer_addr = addr_host;
    c->on_open = peer_open;
    c->on_frame = dispatch_frame;
    c->on_destroy = peer_destroy;
    c->context = peer_open(c, c->endpoint_info, &c->timer_ms);
    if (c->context == nullptr) fuzz_fail("no Peer for a fake client");
    return c;
}

void fuzz_clock_install() {
    timer_set_tick(fake_tick);
}

void fuzz_clock_advance(std::uint64_t ms) {
    g_now += ms;
}

void fuzz_reset_gateway() {
    zv_alloc_fail_after(-1);
    LoopState& state = loop_state();
    while (state.table.count > 0) conn_destroy(state.table.connections[0]);
    peers_release_all();
    peer_list_reset();
    name_table_destroy();
    free_commands();
    timer_queue_reset();
    loop_state_reset();
    search_clear();
    local_address_list_reset();
    temp_file_counter() = 1;
    fake_sockets_clear();
}

void fuzz_expect_whole_frames(const std::string& bytes, const char* who) {
    std::size_t at = 0;
    while (at < bytes.size()) {
        if (bytes.size() - at < static_cast<std::size_t>(kFrameHeaderSize)) {
            fuzz_fail("partial frame header written to", who);
        }
        std::uint32_t length = be16(bytes, at);
        std::uint32_t code = be16(bytes, at + 2);
        // Every frame fits one 2044-byte payload area; only the chunk frame carries its
        // data behind a text of that size.
        std::uint32_t limit = code == kCodeChunk ? kMaxFramePayload + kChunkSize : kMaxFramePayload;
        if (length > limit) fuzz_fail("oversized frame written to", who);
        if (bytes.size() - at - kFrameHeaderSize < length) {
            fuzz_fail("frame cut short written to", who);
        }
        at += kFrameHeaderSize + length;
    }
}
