// The DLL as a host sees it before any real work: its export and import
// tables, the result every command returns, and Version's buffer handling.
#include <gtest/gtest.h>

#include <cctype>
#include <cstring>
#include <string>
#include <vector>

#include "harness.h"

namespace kvtest {
namespace {

const char* const kExportNames[] = {
    "ApplyALMatrix",          "ApplyALMatrixInverse", "ApplyMatrix",
    "ApplyMatrixInverse",     "CalcMatrix",           "ClearObject",
    "LoadMatrixComposite",    "LoadMatrixOverwrite",  "SaveMatrix",
    "SetAutoLodingDirectory", "SetBaseObject",        "SetTransformedObject",
    "SetWorkingDirectory",    "ShowStatus",           "Version",
};

const IMAGE_NT_HEADERS64* NtHeaders(HMODULE module) {
  const auto* base = reinterpret_cast<const unsigned char*>(module);
  const auto* dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(base);
  if (dos->e_magic != IMAGE_DOS_SIGNATURE) return nullptr;
  const auto* nt = reinterpret_cast<const IMAGE_NT_HEADERS64*>(base + dos->e_lfanew);
  if (nt->Signature != IMAGE_NT_SIGNATURE ||
      nt->OptionalHeader.Magic != IMAGE_NT_OPTIONAL_HDR64_MAGIC) {
    return nullptr;
  }
  return nt;
}

template <class T>
const T* AtRva(HMODULE module, DWORD rva) {
  return reinterpret_cast<const T*>(reinterpret_cast<const unsigned char*>(module) + rva);
}

std::string Lower(std::string s) {
  for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return s;
}

TEST(Exports, ExactlyTheFifteenCommandsByNameAndOrdinal) {
  HMODULE module = Library();
  ASSERT_NE(module, nullptr);
  const IMAGE_NT_HEADERS64* nt = NtHeaders(module);
  ASSERT_NE(nt, nullptr) << "not a 64-bit PE image";
  const IMAGE_DATA_DIRECTORY& dir = nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_EXPORT];
  ASSERT_NE(dir.VirtualAddress, 0u) << "no export directory";
  const auto* exports = AtRva<IMAGE_EXPORT_DIRECTORY>(module, dir.VirtualAddress);

  EXPECT_STREQ(AtRva<char>(module, exports->Name), "Korvane.dll");
  EXPECT_EQ(exports->Base, 1u);
  ASSERT_EQ(exports->NumberOfNames, 15u);
  ASSERT_EQ(exports->NumberOfFunctions, 15u);

  const DWORD* names = AtRva<DWORD>(module, exports->AddressOfNames);
  const WORD* ordinals = AtRva<WORD>(module, exports->AddressOfNameOrdinals);
  const DWORD* functions = AtRva<DWORD>(module, exports->AddressOfFunctions);
  for (DWORD i = 0; i < 15; ++i) {
    SCOPED_TRACE(kExportNames[i]);
    EXPECT_STREQ(AtRva<char>(module, names[i]), kExportNames[i]);
    const DWORD ordinal = exports->Base + ordinals[i];
    EXPECT_EQ(ordinal, i + 1);
    // A forwarder's address would point into the export directory itself.
    const DWORD rva = functions[ordinals[i]];
    EXPECT_FALSE(rva >= dir.VirtualAddress && rva < dir.VirtualAddress + dir.Size);
    const FARPROC by_name = GetProcAddress(module, kExportNames[i]);
    const FARPROC by_ordinal =
        GetProcAddress(module, reinterpret_cast<LPCSTR>(static_cast<ULONG_PTR>(ordinal)));
    EXPECT_NE(by_name, nullptr);
    EXPECT_EQ(by_name, by_ordinal);
    EXPECT_EQ(reinterpret_cast<const unsigned char*>(by_name),
              reinterpret_cast<const unsigned char*>(module) + rva);
  }
  // Byte-wise order is what the loader's binary search relies on.
  for (DWORD i = 1; i < 15; ++i) {
    EXPECT_LT(std::strcmp(kExportNames[i - 1], kExportNames[i]), 0);
  }
}

TEST(Exports, NoCompilerRuntimeDllIsNeeded) {
  HMODULE module = Library();
  ASSERT_NE(module, nullptr);
  const IMAGE_NT_HEADERS64* nt = NtHeaders(module);
  ASSERT_NE(nt, nullptr);
  std::vector<std::string> imported;
  const IMAGE_DATA_DIRECTORY& dir = nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
  if (dir.VirtualAddress != 0) {
    for (const auto* d = AtRva<IMAGE_IMPORT_DESCRIPTOR>(module, dir.VirtualAddress); d->Name != 0;
         ++d) {
      imported.push_back(Lower(AtRva<char>(module, d->Name)));
    }
  }
  const IMAGE_DATA_DIRECTORY& delay =
      nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_DELAY_IMPORT];
  if (delay.VirtualAddress != 0) {
    for (const auto* d = AtRva<IMAGE_DELAYLOAD_DESCRIPTOR>(module, delay.VirtualAddress);
         d->DllNameRVA != 0; ++d) {
      imported.push_back(Lower(AtRva<char>(module, d->DllNameRVA)));
    }
  }
  ASSERT_FALSE(imported.empty());
  for (const std::string& name : imported) {
    SCOPED_TRACE(name);
    EXPECT_EQ(name.find("libstdc++"), std::string::npos);
    EXPECT_EQ(name.find("libgcc"), std::string::npos);
    EXPECT_EQ(name.find("winpthread"), std::string::npos);
  }
  // This program links its runtime statically, so any such module in the
  // process was pulled in by the DLL.
  EXPECT_EQ(GetModuleHandleA("libstdc++-6.dll"), nullptr);
  EXPECT_EQ(GetModuleHandleA("libgcc_s_seh-1.dll"), nullptr);
  EXPECT_EQ(GetModuleHandleA("libwinpthread-1.dll"), nullptr);
}

// A host may declare the result as float or as double; both must read zero.
TEST(Exports, HarmlessCommandsReturnZeroAsFloatAndAsDouble) {
  ScratchDir scratch;
  const std::string work = scratch.Path();
  const char* const harmless[] = {"Version",       "ClearObject",          "LoadMatrixComposite",
                                  "SetBaseObject", "SetTransformedObject", "SetWorkingDirectory"};
  for (const char* name : harmless) {
    SCOPED_TRACE(name);
    const KorvaneCommand as_float = Command(name);
    ASSERT_NE(as_float, nullptr);
    const auto as_double = reinterpret_cast<DoubleCommand>(reinterpret_cast<void (*)()>(as_float));
    char buf2[16] = {};
    const float f = as_float(work.c_str(), 1.0, nullptr, 0, buf2, 16, 0);
    std::uint32_t fbits = 1;
    std::memcpy(&fbits, &f, sizeof fbits);
    EXPECT_EQ(fbits, 0u);
    const double d = as_double(work.c_str(), 1.0, nullptr, 0, buf2, 16, 0);
    std::uint64_t dbits = 1;
    std::memcpy(&dbits, &d, sizeof dbits);
    EXPECT_EQ(dbits, 0u) << "a host reading a double sees " << d;
  }
}

TEST(Exports, VersionFillsOnlyWhatFitsInBuf2) {
  const KorvaneCommand version = Command("Version");
  ASSERT_NE(version, nullptr);
  constexpr unsigned char kGuard = 0xCD;
  struct Case {
    int32_t size2;
    const char* expected;  // nullptr: nothing may be written
  };
  const Case cases[] = {
      {6, "0.1.1"},
      {16, "0.1.1"},
      {5, "0.1."},
      {4, "0.1"},
      {3, "0."},
      {2, "0"},
      {1, ""},
      {0, nullptr},
      {-1, nullptr},
      {-6, nullptr},
      {INT32_MIN, nullptr},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE("size2 " + std::to_string(c.size2));
    unsigned char buf1[32];
    unsigned char buf2[32];
    std::memset(buf1, kGuard, sizeof buf1);
    std::memset(buf2, kGuard, sizeof buf2);
    version("", 0.0, reinterpret_cast<char*>(buf1), 16, reinterpret_cast<char*>(buf2), c.size2, 0);
    std::size_t written = 0;
    if (c.expected != nullptr) {
      written = std::strlen(c.expected) + 1;
      EXPECT_EQ(std::string(reinterpret_cast<char*>(buf2), written),
                std::string(c.expected, written));
    }
    for (std::size_t i = written; i < sizeof buf2; ++i) {
      EXPECT_EQ(buf2[i], kGuard) << "byte " << i << " of buf2 was written";
    }
    for (std::size_t i = 0; i < sizeof buf1; ++i) {
      EXPECT_EQ(buf1[i], kGuard) << "byte " << i << " of buf1 was written";
    }
  }
  // A missing buffer is ignored whatever size comes with it.
  EXPECT_EQ(version(nullptr, 0.0, nullptr, 0, nullptr, 6, 0), 0.0f);
  EXPECT_EQ(version(nullptr, 0.0, nullptr, 6, nullptr, 0, 0), 0.0f);
}

// Every command that reads text must take a null pointer as the empty text.
TEST(Exports, NullTextIsTheEmptyText) {
  ScratchDir scratch;
  const std::string work = scratch.Path();
  const std::string al_dir = scratch.MakeSubdir("al");
  WriteBytes(scratch / "target.obj", "v 1 2 3\n");
  // Doubles every coordinate; default.matrix in the recorded directory adds 100.
  WriteBytes(scratch / "active.matrix", "2 0 0 0\n0 2 0 0\n0 0 2 0\n0 0 0 1\n");
  WriteBytes(al_dir + "default.matrix", "1 0 0 100\n0 1 0 100\n0 0 1 100\n0 0 0 1\n");
  WriteBytes(scratch / "ALDirectory.txt", al_dir);
  Call("SetWorkingDirectory", work.c_str());

  struct Case {
    const char* command;
    const char* applied;
  };
  const Case cases[] = {
      {"ApplyMatrix", "v 2.000000 4.000000 6.000000 \r\n\r\n"},
      {"ApplyMatrixInverse", "v 0.500000 1.000000 1.500000 \r\n\r\n"},
      {"ApplyALMatrix", "v 101.000000 102.000000 103.000000 \r\n\r\n"},
      {"ApplyALMatrixInverse", "v -99.000000 -98.000000 -97.000000 \r\n\r\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.command);
    WriteBytes(scratch / "applied.obj", "sentinel");
    const Watched w = CallWatched(c.command, nullptr, 1.0);
    EXPECT_TRUE(w.windows.empty()) << Describe(w.windows);
    EXPECT_EQ(ReadBytes(scratch / "applied.obj"), std::string(c.applied));
  }

  // The save dialog opens and offers a file name made of the empty object name.
  const Watched save = CallWatched("SaveMatrix", nullptr, 0.0, {DialogAnswer::Cancel()});
  ASSERT_EQ(save.windows.size(), 1u) << Describe(save.windows);
  EXPECT_EQ(save.windows[0].kind, SeenWindow::Kind::fileDialog);
  EXPECT_EQ(save.windows[0].fileName, L".matrix");
  EXPECT_FALSE(save.timedOut);

  // The empty working directory: the status box shows an empty line for it.
  Call("SetWorkingDirectory", nullptr);
  const Watched status = CallWatched("ShowStatus", nullptr);
  ASSERT_EQ(status.windows.size(), 1u) << Describe(status.windows);
  const std::wstring expected_start = L"Version\n0.1.1\n\nworkDirectory\n\n\nALDir\n";
  EXPECT_EQ(status.windows[0].text.substr(0, expected_start.size()), expected_start)
      << Describe(status.windows);
}

}  // namespace
}  // namespace kvtest
