// Commands that move matrix files between the working directory, files the
// user picks and the auto-loading directory.
#include <string>

#include "api/al_directory.h"
#include "api/commands.h"
#include "api/globals.h"
#include "api/object_name.h"
#include "platform/platform.h"
#include "text/catalogue.h"
#include "text/error.h"

namespace korvane::api {
namespace {

constexpr char kMatrixExtension[] = ".matrix";

platform::FileDialog MatrixFileDialog() {
  platform::FileDialog d;
  d.title = "select .matrix file";
  d.filter = std::string("Matrix File\0*.matrix\0\0", 22);
  return d;
}

// The initial file name must fit the 260-byte buffer with its terminating
// zero: a long object name is cut so that ".matrix" still follows it.
std::string InitialMatrixFileName(const std::string& object) {
  const std::size_t room = platform::kFileNameBufferSize - 1 - (sizeof kMatrixExtension - 1);
  return object.substr(0, room) + kMatrixExtension;
}

// The longest folder path the dialogs start in: what Windows creates without
// long-path support (MAX_PATH - 12), which leaves room for a file name in the
// dialogs' MAX_PATH buffers. Wine's dialog crashes on folders of 258 or more.
constexpr std::size_t kMaxStartFolder = 248;

// The recorded auto-loading directory as the dialogs' starting folder: only
// an existing directory whose path fits them. The record may hold anything,
// of any length; otherwise the dialog starts where the system chooses. No
// record at all is passed on as an empty folder, as it always was.
std::optional<std::string> DialogStartFolder() {
  const std::string dir = ReadALDirectory();
  if (dir.empty()) return dir;
  std::size_t length = dir.size();
  while (length > 0 && (dir[length - 1] == '\\' || dir[length - 1] == '/')) --length;
  if (length > kMaxStartFolder || dir.find('\0') != std::string::npos ||
      !platform::IsDirectory(dir)) {
    return std::nullopt;
  }
  return dir;
}

void CopyOrReport(const std::string& from, const std::string& to) {
  if (platform::NamesDevice(from)) {
    throw Error(Error::Kind::refused, text::Message()
                                          .Host(from)
                                          .Own(": ")
                                          .Say(text::kNotARegularFile)
                                          .Say(text::kNothingChanged));
  }
  if (platform::Current().CopyFileReplacing(from, to)) return;
  const int err = platform::LastFailureErrno();
  text::Message m;
  m.Say(text::kCannotCopy).Host(from).Say(text::kCopyTo).Host(to).Say(text::kNothingChanged);
  if (err != 0) m.Own(" (").Append(platform::DescribeFailure(err)).Own(")");
  throw Error(Error::Kind::io, std::move(m));
}

void ApplyAutoLoaded(const CommandArgs& args, double value) {
  // A device (COM1.matrix is the serial port to Windows) or a pipe counts as
  // absent; with neither candidate ApplyMatrix falls back to active.matrix.
  const auto present = [](const std::string& p) {
    return platform::Current().PathExists(p) && !platform::NamesDevice(p);
  };
  const std::string dir = ReadALDirectory();
  std::string path = dir + ExtractObjectName(args.Text()) + kMatrixExtension;
  if (!present(path)) path = dir + kDefaultMatrixName;
  if (!present(path)) path.clear();
  CommandArgs forwarded = args;
  forwarded.text = path.c_str();
  forwarded.value = value;
  ApplyMatrix(forwarded);
}

}  // namespace

void SaveMatrix(const CommandArgs& args) {
  platform::FileDialog dialog = MatrixFileDialog();
  dialog.save = true;
  dialog.initialFile = InitialMatrixFileName(ExtractObjectName(args.Text()));
  dialog.initialDir = DialogStartFolder();
  dialog.flags = platform::kOfnOverwritePrompt;
  const std::optional<std::string> chosen = platform::Current().ShowFileDialog(dialog);
  if (!chosen || chosen->empty()) return;
  CopyOrReport(JoinWithSeparator(kActiveMatrixName), *chosen);
}

void LoadMatrixOverwrite(const CommandArgs&) {
  platform::FileDialog dialog = MatrixFileDialog();
  dialog.save = false;
  dialog.flags = platform::kOfnFileMustExist;
  const std::optional<std::string> chosen = platform::Current().ShowFileDialog(dialog);
  if (!chosen || chosen->empty()) return;
  CopyOrReport(*chosen, JoinWithSeparator(kActiveMatrixName));
}

void SetAutoLodingDirectory(const CommandArgs&) {
  platform::FileDialog dialog = MatrixFileDialog();
  dialog.save = true;
  dialog.initialFile = kDefaultMatrixName;
  dialog.initialDir = DialogStartFolder();
  dialog.flags = 0;
  const std::optional<std::string> chosen = platform::Current().ShowFileDialog(dialog);
  if (!chosen || chosen->empty()) return;
  const std::string::size_type cut = chosen->find_last_of(platform::kPathSeparator);
  const std::string dir = cut == std::string::npos ? *chosen : chosen->substr(0, cut + 1);
  if (!WriteALDirectory(dir)) return;

  // A default matrix in only one of the two places is shared with the other;
  // an existing file is never replaced.
  platform::Platform& p = platform::Current();
  const std::string chosen_default = dir + kDefaultMatrixName;
  const std::string work_default = JoinDirect(kDefaultMatrixName);
  const bool in_chosen = p.PathExists(chosen_default);
  const bool in_work = p.PathExists(work_default);
  if (in_chosen && !in_work) {
    CopyOrReport(chosen_default, work_default);
  } else if (in_work && !in_chosen) {
    CopyOrReport(work_default, chosen_default);
  }
}

void ApplyALMatrix(const CommandArgs& args) { ApplyAutoLoaded(args, 1.0); }

void ApplyALMatrixInverse(const CommandArgs& args) { ApplyAutoLoaded(args, -1.0); }

}  // namespace korvane::api
