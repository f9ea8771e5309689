// The shared text reader and the atomic file replacement: what hostile files
// in a file's place do to a reader, how NUL bytes and long lines are read,
// and that a replacement, with or without unnamed files, leaves the target
// whole and no temporary behind.
#include "netinfo/link_dump.h"
#include "sys/atomic_file.h"
#include "sys/text_file.h"

#include "syscall_filter.h"
#include "test_support.h"

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstdio>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <sys/xattr.h>
#include <unistd.h>
#include <vector>

namespace {

using kxtest::read_file;
using kxtest::write_file;

// Every line of `bytes` as read_text_line sees it.
std::vector<std::string> lines_of(const std::string &bytes, std::size_t max = kx::text_line_max) {
    kxtest::scratch_root root;
    const std::string path = root.at("/f");
    write_file(path, bytes);
    kx::unique_file stream = kx::open_text_file(path.c_str());
    EXPECT_TRUE(stream);
    std::vector<std::string> lines;
    std::string line;
    while (stream && kx::read_text_line(stream.get(), line, max)) lines.push_back(line);
    return lines;
}

TEST(TextFile, RefusesWhatIsNoRegularFile) {
    kxtest::scratch_root root;
    const std::string fifo = root.at("/fifo");
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    // A blocking open of a FIFO without a writer would never return.
    EXPECT_FALSE(kx::open_text_file(fifo.c_str()));
    EXPECT_EQ(errno, EINVAL);
    const std::string zero = root.at("/zero");
    ASSERT_EQ(symlink("/dev/zero", zero.c_str()), 0);
    EXPECT_FALSE(kx::open_text_file(zero.c_str()));
    EXPECT_FALSE(kx::open_text_file(root.path().c_str()));
    EXPECT_FALSE(kx::open_text_file(root.at("/missing").c_str()));
    EXPECT_EQ(errno, ENOENT);
}

TEST(TextFile, NulBytesStayInsideTheirLine) {
    using namespace std::string_literals;
    EXPECT_EQ(lines_of("NAME=x\0y\nBOOTPROTO=dhcp\n"s),
              (std::vector<std::string>{"NAME=x\0y"s, "BOOTPROTO=dhcp"}));
    EXPECT_EQ(lines_of("a\0\nb\n\0\nc"s), (std::vector<std::string>{"a\0"s, "b", "\0"s, "c"}));
    EXPECT_EQ(kx::up_to_nul("BOOTPROTO=static\0dhcp"s), "BOOTPROTO=static");
}

TEST(TextFile, LongLinesKeepTheirHeadAndEndAtTheirBreak) {
    bool overlong = false;
    kxtest::scratch_root root;
    write_file(root.at("/f"), std::string(10, 'x') + "\nnext\n");
    kx::unique_file stream = kx::open_text_file(root.at("/f").c_str());
    std::string line;
    ASSERT_TRUE(kx::read_text_line(stream.get(), line, 4, &overlong));
    EXPECT_EQ(line, "xxxx");
    EXPECT_TRUE(overlong);
    ASSERT_TRUE(kx::read_text_line(stream.get(), line, 4, &overlong));
    EXPECT_EQ(line, "next");
    EXPECT_FALSE(overlong);
    EXPECT_FALSE(kx::read_text_line(stream.get(), line, 4, &overlong));
}

// The four lines a container child writes per link: a NUL byte in one line
// must not shift the groups that follow.
TEST(TextFile, CollectorGroupsStayInStepPastANul) {
    using namespace std::string_literals;
    const std::string pipe_text = "eth0\0junk\n10.1.1.2/24\n02:00:00:00:00:01\n4163\n"
                                  "eth1\n\n\n4098\n"s;
    std::FILE *in = fmemopen(const_cast<char *>(pipe_text.data()), pipe_text.size(), "r");
    ASSERT_NE(in, nullptr);
    kx::link_lines link;
    std::vector<std::string> names;
    while (kx::read_link_lines(in, link)) names.push_back(link.name + "|" + link.addrs + "|" + std::to_string(link.flags));
    std::fclose(in);
    EXPECT_EQ(names, (std::vector<std::string>{"eth0|10.1.1.2/24|4163", "eth1||4098"}));
}

TEST(AtomicFile, ReplacesWholeWithModeAndLeavesNoTemporary) {
    kxtest::scratch_root root;
    kxtest::make_dirs(root.at("/d"));
    const std::string target = root.at("/d/conf");
    write_file(target, "old\n");
    ASSERT_EQ(kx::replace_file(target, "new content\n", 0644), 0);
    EXPECT_EQ(read_file(target), "new content\n");
    struct stat info {};
    ASSERT_EQ(stat(target.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 07777, 0644u);
    EXPECT_EQ(kxtest::list_dir(root.at("/d")), std::vector<std::string>{"conf"});
}

#if defined(__x86_64__)
// Makes every O_TMPFILE open of this process fail with `err`, as a file
// system without unnamed files answers; exits with 250 if it cannot.
void refuse_unnamed_files(int err) {
    constexpr unsigned tmpfile_bit = O_TMPFILE & ~O_DIRECTORY;
    kxtest::filter_syscall(__NR_openat, {
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(struct seccomp_data, args[2])),
        BPF_STMT(BPF_ALU | BPF_AND | BPF_K, tmpfile_bit),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, tmpfile_bit, 0, 1),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | static_cast<unsigned>(err)),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
    });
}

// Where the file system makes no unnamed files (an overlay before Linux 6.6,
// an old kernel) the replacement takes a named temporary instead: the same
// content and mode, no temporary left after success or failure, no mark left
// on the target.
TEST(AtomicFile, WithoutUnnamedFilesTheReplacementIsTheSame) {
    for (int refused : {0, EOPNOTSUPP, EISDIR, EINVAL}) {
        SCOPED_TRACE(refused);
        kxtest::scratch_root root;
        const std::string dir = root.at("/d");
        const std::string target = dir + "/conf";
        kxtest::make_dirs(dir + "/full/inside");
        write_file(target, "old\n");
        pid_t child = fork();
        if (child == 0) {
            if (refused != 0) {
                refuse_unnamed_files(refused);
                if (open(dir.c_str(), O_TMPFILE | O_WRONLY, 0600) >= 0 || errno != refused) _exit(3);
            }
            if (kx::replace_file(target, "new content\n", 0644) != 0) _exit(4);
            // A non-empty directory cannot be replaced by a file.
            _exit(kx::replace_file(dir + "/full", "x", 0600) != 0 ? 0 : 5);
        }
        int status = 0;
        ASSERT_EQ(waitpid(child, &status, 0), child);
        ASSERT_TRUE(WIFEXITED(status));
        if (WEXITSTATUS(status) == 250) GTEST_SKIP() << "no seccomp filters here";
        ASSERT_EQ(WEXITSTATUS(status), 0);
        EXPECT_EQ(read_file(target), "new content\n");
        struct stat info {};
        ASSERT_EQ(stat(target.c_str(), &info), 0);
        EXPECT_EQ(info.st_mode & 07777, 0644u);
        auto names = kxtest::list_dir(dir);
        std::sort(names.begin(), names.end());
        EXPECT_EQ(names, (std::vector<std::string>{"conf", "full"}));
        EXPECT_LT(lgetxattr(target.c_str(), kx::temporary_mark, nullptr, 0), 0);
    }
}
#endif

TEST(AtomicFile, AFailedRenameKeepsTheTargetAndRemovesTheTemporary) {
    kxtest::scratch_root root;
    const std::string target = root.at("/d/dir");
    kxtest::make_dirs(target + "/inside");
    // A non-empty directory cannot be replaced by a file.
    EXPECT_NE(kx::replace_file(target, "x", 0600), 0);
    EXPECT_EQ(kxtest::list_dir(root.at("/d")), std::vector<std::string>{"dir"});
    EXPECT_EQ(kx::replace_file(root.at("/absent/f"), "x", 0600), -ENOENT);
}

} // namespace
