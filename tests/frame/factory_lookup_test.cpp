// Finding the factory library through "Gavio.ini", its redirects and the
// DLL path rules, with real INI files in a temporary folder.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>

#include "config/ini_config.h"
#include "frame/factory_lookup.h"
#include "frame/instances.h"
#include "frame/log_sink.h"
#include "platform/errors.h"
#include "support/test_support.h"

namespace {

using gavio::kPathSize;
using gavio_test::TempDir;
using gavio_test::WriteFile;

std::string FinalIni(const std::string& ini) {
  char out[kPathSize] = "unchanged";
  if (!gavio::ResolveFactoryIni(ini.c_str(), out)) return "<failed>";
  return out;
}

std::string DllPath(const std::string& ini) {
  char out[kPathSize] = "unchanged";
  if (!gavio::ResolveFactoryDllPath(ini.c_str(), out)) return "<failed>";
  return out;
}

TEST(Redirects, ARelativeRedirectIsFinalAndIsNotFollowedFurther) {
  TempDir dir;
  WriteFile(dir.File("Gavio.ini"), "[Redirect]\nPath = second.ini\n");
  WriteFile(dir.File("second.ini"), "[Redirect]\nPath=third.ini\n[361]\nDLL=/opt/f/GavFact.dll\n");
  EXPECT_EQ(FinalIni(dir.File("Gavio.ini")), dir.path() + "/second.ini");
  EXPECT_EQ(DllPath(dir.path() + "/second.ini"), "/opt/f/GavFact.dll");
}

TEST(Redirects, AbsoluteRedirectsChainAndLoopsAreStopped) {
  TempDir dir;
  WriteFile(dir.File("a.ini"), "[Redirect]\nPath=" + dir.File("b.ini") + "\n");
  WriteFile(dir.File("b.ini"), "[Redirect]\nPath=\t \n");
  EXPECT_EQ(FinalIni(dir.File("a.ini")), dir.File("b.ini"));

  WriteFile(dir.File("b.ini"), "[Redirect]\nPath=" + dir.File("a.ini") + "\n");
  gavio_test::DebugCapture debug;
  EXPECT_EQ(FinalIni(dir.File("a.ini")), "<failed>");
  EXPECT_EQ(debug.Count("[Gavio_Error] Redirect loop"), 1);
}

// An INI that is no plain file of an INI's size is read as a missing one:
// a device that never ends, a FIFO nobody writes, a file past the size
// bound. Its redirect is not followed, and nothing blocks or grows.
TEST(Redirects, DevicesFifosAndOversizedFilesAreNotRead) {
  TempDir dir;
  std::string fifo = dir.File("redirect.fifo");
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  std::string big = dir.File("big.ini");
  WriteFile(big, "[Redirect]\nPath=" + dir.File("other.ini") + "\n" +
                     std::string(gavio::config::kMaxConfigFileSize, ';') + "\n");
  for (const std::string& target : {std::string("/dev/zero"), fifo, big}) {
    WriteFile(dir.File("Gavio.ini"), "[Redirect]\nPath=" + target + "\n");
    EXPECT_EQ(FinalIni(dir.File("Gavio.ini")), target);
    EXPECT_EQ(gavio::config::ReadIniValue(target, "Redirect", "Path", "none", 260), "none");
  }
}

TEST(Redirects, MissingAndRelativeInisResolveBesideTheExecutable) {
  std::string folder = gavio::HostExecutableFolder();
  EXPECT_EQ(FinalIni(""), folder + "/Gavio.ini");
  EXPECT_EQ(FinalIni("Other.ini"), folder + "/Other.ini");
}

TEST(DllPath, RelativeNamesFollowTheDefaultFolderRules) {
  TempDir dir;
  std::string ini = dir.File("g.ini");
  WriteFile(ini, "[361]\nDLL = GavFact.dll \n");
  EXPECT_EQ(DllPath(ini), dir.path() + "/GavFact.dll");

  WriteFile(ini, "[361]\nDLL=GavFact.dll\n[DefaultValue]\nDllPath=libs\n");
  EXPECT_EQ(DllPath(ini), dir.path() + "/libs\\GavFact.dll");

  WriteFile(ini, "[361]\nDLL=GavFact.dll\n[DefaultValue]\nDllPath=/abs/libs\n");
  EXPECT_EQ(DllPath(ini), "/abs/libs\\GavFact.dll");

  WriteFile(ini, "[361]\nDLL=GavFact.dll\nNotUseDefaultDllPath= 1\n[DefaultValue]\nDllPath=/x\n");
  EXPECT_EQ(DllPath(ini), dir.path() + "/GavFact.dll");
}

TEST(DllPath, PathsThatDoNotFitAreRefusedAndTheLoadFailsWithItsMessage) {
  TempDir dir;
  std::string ini = dir.File("g.ini");
  WriteFile(ini, "[361]\nDLL=" + std::string(300, 'x') + ".dll\n");
  EXPECT_EQ(DllPath(ini), "<failed>");

  WriteFile(ini, "[361]\nDLL=NoSuchFactory.dll\n");
  gavio::HostSetFactoryHandle(nullptr);
  gavio_test::DebugCapture debug;
  EXPECT_EQ(gavio::FindFactoryLibrary(ini.c_str()), nullptr);
  EXPECT_EQ(debug.Count("[Gavio_Error] Load GavFact.dll Fail.\n"), 1);
  EXPECT_EQ(gavio::ObtainFactoryObject(ini.c_str()), nullptr);
}

TEST(LogSink, MasksChooseTheDebuggerOrTheFileAndFileLinesCarryCounterTimeAndProcess) {
  TempDir dir;
  std::string ini = dir.File("Gavio.ini");
  WriteFile(ini, "[361]\nDLL=" + gavio_test::BuildDir() +
                     "/GavFact.dll\n[Log]\nFile=gavio.log\n[Log.4242]\nDebugMask=0x2\nFileMask=0x1\n");
  void* module = gavio::FindFactoryLibrary(ini.c_str());
  ASSERT_NE(module, nullptr);  // loaded, so sinks find it
  gavio_test::DebugCapture debug;
  gavio::LogSink sink(ini.c_str(), 4242);
  EXPECT_EQ(sink.DebugMask(), 0x2u);
  EXPECT_EQ(sink.FileMask(), 0x1u);
  sink.Trace("to the debugger %d", 1);
  sink.Error("to the file %s", "only");
  sink.Core("nowhere");
  std::string tid = std::to_string(GetCurrentThreadId());
  EXPECT_EQ(debug.Text(), "[T" + tid + "][M4242][Trace]to the debugger 1\n");
  std::string file = gavio_test::ReadFile(dir.File("gavio.log"));
  std::string tail = "\t[P" + std::to_string(GetCurrentProcessId()) + "][T" + tid +
                     "][M4242][Error]to the file only\n";
  ASSERT_GE(file.size(), tail.size());
  EXPECT_EQ(file.substr(file.size() - tail.size()), tail);
  EXPECT_EQ(std::count(file.begin(), file.end(), '\t'), 2);  // counter \t HH:MM:SS \t
  EXPECT_EQ(file[file.find('\t') + 3], ':');

  // A format cut inside a conversion loses the conversion, never reads an
  // argument that is not there.
  debug.Clear();
  std::string prefix = "[T" + tid + "][M4242][Trace]";
  std::string long_format(254 - prefix.size(), 'a');  // its '%' is the 255th character
  long_format += "%s";
  sink.Trace(long_format.c_str(), "tail");
  std::string cut = debug.Text();
  EXPECT_EQ(cut.size(), 254u);
  EXPECT_EQ(cut.find("tail"), std::string::npos);
  EXPECT_EQ(cut.back(), 'a');
}

}  // namespace
