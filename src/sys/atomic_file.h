// Atomic replacement of a whole file: the one way the library writes the
// registry and ifcfg files.  Readers see the old content or the new, whole,
// also after a crash or a full disk.  The library's temporaries carry a mark
// no unprivileged process can set, and only marked files are ever swept, so
// no file of an administrator's or another tool's is removed.
#pragma once

#include <string>
#include <string_view>
#include <sys/types.h>

namespace kx {

// The extended attribute that marks a temporary of ours; its value is the
// temporary's own name.  Setting trusted.* takes CAP_SYS_ADMIN.
inline constexpr const char *temporary_mark = "trusted.kxnet.temporary";

// The extended attribute a file written for a device of the library's own
// keeps for its life; its value is the file's own name.  It is the proof that
// removing the file loses nothing of an administrator's: a file without it
// (theirs, or written where the file system keeps no attributes) stays.
inline constexpr const char *written_mark = "trusted.kxnet.written";

// Whether `name` has the shape of our temporaries: ".<target>.kxnet-" and
// six letters or digits, e.g. ".kxnet.conf.kxnet-Kq7z2A".
bool is_temporary_name(std::string_view name);

// Writes `content` to a fresh temporary in the directory of `target` and
// renames it over `target`, after sweeping that directory's stale
// temporaries.  The temporary is unnamed (O_TMPFILE) until it is whole and
// synced, marked before it gets a name (where the file system has no unnamed
// files: right after its O_EXCL creation), and gets mode `mode` (created
// 0600, then set to `mode` whatever the umask).  Every write and the close are
// checked; after the rename the mark is taken off and the directory synced.
// 0, or the negative errno of the step that failed; then no temporary
// remains and `target` is unchanged.
// With `mark_written` the new file carries the written mark.
int replace_file(const std::string &target, std::string_view content, mode_t mode, bool mark_written = false);

// Whether `path` (not followed) is a regular file of our effective user
// carrying the written mark for its own name.  Allocates nothing.
bool carries_written_mark(const char *path);

// Makes directory `path` (mode 0755) and its missing parents, for a file the
// host never had: 0 when it exists afterwards, else the negative errno of
// the failed step.
int make_directories(const std::string &path);

// Removes the temporaries that writers killed before their rename left in
// `dir`: regular files of our effective user with a temporary's name whose
// mark names that very file.  Only the holder of the exclusive host lock
// writes the library's files, so no live writer owns one.  Where the file
// system keeps no extended attributes nothing is proven ours and nothing is
// removed.  Best effort: an unreadable directory is left.
void remove_stale_temporaries(const std::string &dir);

} // namespace kx
