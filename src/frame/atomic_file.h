// Atomic replacement of a whole file: the one way the library writes the
// registry and ifcfg files.  Readers see the old content or the new, whole,
// also after a crash or a full disk.
#pragma once

#include <string>
#include <string_view>
#include <sys/types.h>

namespace kx {

// Writes `content` to a fresh temporary file named by the mkstemp template
// `temp_template` (a bare name such as "iface.XXXXXX") in the directory of
// `target`, with `mode`, after removing stale temporaries of that template
// there; checks every write and the close, fsyncs it, renames
// it over `target` and fsyncs the directory.  0, or the errno of the step
// that failed; then no temporary file remains and `target` is unchanged.
int replace_file(const std::string &target, std::string_view content, mode_t mode,
                 const char *temp_template);

// Removes the regular files of `dir` whose names mkstemp could have made from
// `temp_template`.  Only the holder of the exclusive host lock writes the
// library's files, so any such file was left by a writer that died between
// its mkstemp and its rename.  Best effort: an unreadable directory is left.
void remove_stale_temporaries(const std::string &dir, std::string_view temp_template);

} // namespace kx
