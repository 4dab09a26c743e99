#include "platform/output_rules.h"

#include <unordered_map>

#include "platform/file_io.h"
#include "platform/platform.h"

namespace korvane::platform {
namespace {

text::Message Named(const NamedPath& p) {
  text::Message m;
  if (!p.option.empty()) m.Own(p.option + " ");
  return std::move(m.Host(p.path));
}

[[noreturn]] void Refuse(Error::Kind kind, const NamedPath& out, const text::Message& why) {
  // A usage error is about the command line, not a place in a file.
  throw Error(kind, Named(out).Append(why), kind == Error::Kind::usage ? std::string() : out.path);
}

}  // namespace

void CheckOutputs(const std::vector<NamedPath>& inputs, const std::vector<NamedPath>& outputs,
                  bool force, const std::string& force_name, Error::Kind kind,
                  std::string stdout_taken) {
  std::unordered_map<std::string, const NamedPath*> seen;
  for (const NamedPath& in : inputs) seen.emplace(FileKey(in.path), &in);
  for (const NamedPath& out : outputs) {
    if (out.path == "-" || out.path == StandardOutputName()) {
      if (!stdout_taken.empty()) {
        throw Error(kind, text::Message().Own(out.option + " - and " + stdout_taken +
                                              " would both write standard output"));
      }
      stdout_taken = out.option + " -";
      continue;
    }
    const OutputTarget target = ResolveOutputTarget(out.path);
    // Replaced by a file, a loop would lose the links the user made.
    if (target.loop) Refuse(kind, out, " is a loop of symbolic links; remove or repoint it");
    const auto [at, fresh] = seen.emplace(FileKey(out.path), &out);
    const bool own = out.replaces < inputs.size() && at->second == &inputs[out.replaces];
    if (!fresh && !own) {
      const NamedPath& other = *at->second;
      Refuse(kind, out,
             text::Message(" is the same file as ")
                 .Append(Named(other))
                 .Own("; it would be overwritten"));
    }
    if (IsReadOnlyFile(out.path)) {
      if (!force)
        Refuse(kind, out, text::Message(" is read-only (" + force_name + " replaces it)"));
      if (!AllowReplacing(out.path)) Refuse(kind, out, " is read-only and cannot be made writable");
    }
  }
}

}  // namespace korvane::platform
