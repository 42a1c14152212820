// tvgencfg: writes <Path>/conf/torvad.conf and <Path>/conf/openssl.conf from
// the templates beside them (the same names with ".$"), putting the
// installation directory in place of "$INSTPATH$".
//   tvgencfg           generates only the files that do not exist yet
//   tvgencfg remove    regenerates both, overwriting what is there
// The command prints nothing; the exit code is -1 only when "Path" cannot be
// read, whatever happened to the single files.
#include <cstdio>
#include <cstring>

#include "common/program_info.h"
#include "common/strutil.h"
#include "common/torva.h"
#include "platform/fs.h"
#include "platform/registry.h"
#include "platform/unique_handle.h"

namespace {

constexpr const char kPlaceholder[] = "$INSTPATH$";
constexpr size_t kPlaceholderLen = sizeof kPlaceholder - 1;
constexpr const char kTemplateSuffix[] = ".$";
constexpr const char* kTargets[] = {"torvad.conf", "openssl.conf"};

constexpr torva::ProgramInfo kInfo = {
    "tvgencfg", "usage:\n> tvgencfg [remove]\n",
    "Writes <Path>/conf/torvad.conf and <Path>/conf/openssl.conf from their\n"
    "templates torvad.conf.$ and openssl.conf.$, with the installation directory\n"
    "in place of $INSTPATH$. Existing files are left alone; \"remove\" regenerates\n"
    "both. Prints nothing; exit code 255 when Path cannot be read, else 0.\n",
    8};

// Reads "Path" into path[260] from the settings key opened for query only.
bool ReadInstallPath(char (&path)[MAX_PATH]) {
  UniqueRegKey key;
  return RegOpenInstallKey(KEY_QUERY_VALUE, key.Receive()) == ERROR_SUCCESS &&
         RegQueryString(key.Get(), torva::kValuePath, path) == ERROR_SUCCESS;
}

// Copies the template to the target line by line. A line longer than the
// buffer arrives in pieces, each handled on its own; only the first
// placeholder of a piece is replaced, and the Path goes in exactly as stored.
void Expand(FILE* tmpl, FILE* out, const char* install_path) {
  char line[4096];
  while (fgets(line, sizeof line, tmpl) != nullptr) {
    const char* at = strstr(line, kPlaceholder);
    if (at == nullptr) {
      fputs(line, out);
      continue;
    }
    fwrite(line, 1, static_cast<size_t>(at - line), out);
    fputs(install_path, out);
    fputs(at + kPlaceholderLen, out);
  }
}

void Generate(const char* install_path, const char* name, bool overwrite) {
  char target[MAX_PATH];
  char tmpl_path[MAX_PATH];
  // A name that does not fit would be some other file; leave it alone.
  if (!torva::FormatInto(target, "%s%c%s%c%s", install_path, torva::kPathSep, torva::kDirConf,
                         torva::kPathSep, name) ||
      !torva::FormatInto(tmpl_path, "%s%s", target, kTemplateSuffix))
    return;
  if (!overwrite && GetFileAttributes(target) != INVALID_FILE_ATTRIBUTES) return;

  // The template is opened first: when it is missing the target is not
  // touched at all, so an edited configuration survives "remove" and a later
  // run generates the file once the template is there.
  UniqueFile tmpl(OpenRegularFile(tmpl_path, "r"));
  if (!tmpl) return;
  UniqueFile out(OpenRegularFile(target, "w"));
  if (!out) return;
  Expand(tmpl.Get(), out.Get(), install_path);
}

}  // namespace

int main(int argc, char** argv) {
  if (torva::AnswerInfoOption(argc, argv, kInfo)) return 0;
  char install_path[MAX_PATH];
  if (!ReadInstallPath(install_path)) return -1;
  bool overwrite = argc > 1 && strcmp(argv[1], "remove") == 0;
  for (const char* name : kTargets) Generate(install_path, name, overwrite);
  return 0;
}
