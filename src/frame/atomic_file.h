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
// `target`, with `mode`; checks every write and the close, fsyncs it, renames
// it over `target` and fsyncs the directory.  0, or the errno of the step
// that failed; then no temporary file remains and `target` is unchanged.
int replace_file(const std::string &target, std::string_view content, mode_t mode,
                 const char *temp_template);

} // namespace kx
