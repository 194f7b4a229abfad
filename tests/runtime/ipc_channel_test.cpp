// The IPC channel and the cross-process windows beneath it: delivery
// order and listener rules inside one process, then real second processes
// (tools/peers/ipc_peer) for round trips, large payloads, and receivers
// that die or hang.
#include <gtest/gtest.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "gavio/ids.h"
#include "gavio/ipc.h"
#include "platform/errors.h"
#include "platform/ipc.h"
#include "platform/messages.h"
#include "platform/processes.h"
#include "platform/sync.h"
#include "runtime_test_env.h"
#include "support/test_support.h"

namespace {

using gavio::IIpcChannel;
using gavio::IIpcListener;
using gavio::IpcKeys;
using gavio_test::PumpUntil;

std::string UniqueKey(const std::string& role) {
  static int counter = 0;
  return "gavio-test-" + std::to_string(getpid()) + "-" + std::to_string(++counter) + "-" + role;
}

IpcKeys Keys(const std::string& own, const std::string& peer) {
  IpcKeys keys{};
  snprintf(keys.ownKey, sizeof keys.ownKey, "%s", own.c_str());
  snprintf(keys.peerKey, sizeof keys.peerKey, "%s", peer.c_str());
  return keys;
}

class Recorder : public IIpcListener {
 public:
  void OnReceive(const void* data, uint32_t size) override {
    received.emplace_back(static_cast<const char*>(data), size);
    if (onReceive) onReceive();
  }
  std::vector<std::string> received;
  std::function<void()> onReceive;
};

class Channel {
 public:
  explicit Channel(const IpcKeys& keys)
      : channel_(runtime_test::Create<IIpcChannel>(gavio::kIpcChannelId)) {
    gavio::EventSourceOf(channel_)->AddListener(&recorder, 0);
    opened = channel_->Init(&keys);
  }
  ~Channel() {
    if (channel_ != nullptr) channel_->Destroy(0);
  }
  int32_t Send(const std::string& text, uint32_t mode) {
    return channel_->Send(text.data(), static_cast<uint32_t>(text.size()), mode);
  }
  IIpcChannel* Get() { return channel_; }
  void Release() { channel_ = nullptr; }

  Recorder recorder;
  int32_t opened = 0;

 private:
  IIpcChannel* channel_;
};

// A peer process; killed and collected at the end of the test whatever
// happened.
class Peer {
 public:
  explicit Peer(std::vector<std::string> arguments) {
    std::string program = gavio_test::BuildDir() + "/ipc_peer";
    arguments.insert(arguments.begin(), program);
    std::vector<const char*> argv;
    for (const std::string& a : arguments) argv.push_back(a.c_str());
    argv.push_back(nullptr);
    process_ = GavioCreateProcess(program.c_str(), argv.data(), nullptr);
  }
  ~Peer() {
    if (process_ == nullptr) return;
    if (WaitForSingleObject(process_, 0) == WAIT_TIMEOUT) TerminateProcess(process_, 1);
    WaitForSingleObject(process_, 10000);
    CloseHandle(process_);
  }
  // The exit code once the process ended within the limit, else -1.
  int64_t Exit(uint32_t limitMs = 10000) {
    bool ended = gavio_test::PumpAndPollUntil(
        [&] { return WaitForSingleObject(process_, 0) == WAIT_OBJECT_0; }, limitMs);
    DWORD code = 0;
    return ended && GetExitCodeProcess(process_, &code) ? code : -1;
  }
  bool started() const { return process_ != nullptr; }

 private:
  HANDLE process_ = nullptr;
};

HWND WaitForWindow(const std::string& title) {
  HWND found = nullptr;
  gavio_test::PumpAndPollUntil(
      [&] { return (found = FindWindowExA(nullptr, nullptr, "static", title.c_str())); });
  return found;
}

TEST(IpcChannel, EmptyOwnKeyLeavesTheChannelClosed) {
  uint32_t windows = GavioLiveWindowCount();
  Channel channel(Keys("", UniqueKey("peer")));
  EXPECT_EQ(channel.opened, 0);
  EXPECT_EQ(GavioLiveWindowCount(), windows);
  EXPECT_EQ(channel.Send("x", 1), 0);

  IpcKeys tooLong{};
  memset(tooLong.ownKey, 'k', sizeof tooLong.ownKey);  // no terminator: does not fit
  EXPECT_EQ(channel.Get()->Init(&tooLong), 0);
  EXPECT_EQ(channel.Get()->Init(nullptr), 0);
}

TEST(IpcChannel, SendReachesEveryPeerWindowButNeverItsOwn) {
  std::string shared = UniqueKey("shared");
  Channel first(Keys(shared, shared));
  Channel second(Keys(shared, "unused"));
  Channel sender(Keys(UniqueKey("sender"), shared));
  ASSERT_EQ(first.opened, 1);
  EXPECT_EQ(sender.Send("to both", 1), 2);
  EXPECT_EQ(first.recorder.received, std::vector<std::string>{"to both"});
  EXPECT_EQ(second.recorder.received, std::vector<std::string>{"to both"});
  // first's peer key is its own key: only second hears it.
  EXPECT_EQ(first.Send("self", 1), 1);
  EXPECT_EQ(first.recorder.received.size(), 1u);
  EXPECT_EQ(second.recorder.received.back(), "self");
  EXPECT_EQ(sender.Send("", 1), 0);  // zero length: nothing sent
}

TEST(IpcChannel, DeferredDeliveryWaitsForTheLoopImmediateDoesNot) {
  std::string key = UniqueKey("receiver");
  Channel receiver(Keys(key, "none"));
  Channel sender(Keys(UniqueKey("sender"), key));
  sender.Send("later", 0);
  EXPECT_TRUE(receiver.recorder.received.empty());
  sender.Send("now", 7);
  EXPECT_EQ(receiver.recorder.received, std::vector<std::string>{"now"});
  ASSERT_TRUE(PumpUntil([&] { return receiver.recorder.received.size() == 2; }));
  EXPECT_EQ(receiver.recorder.received.back(), "later");
}

TEST(IpcChannel, FinalizeRunsQueuedDeliveriesFirst) {
  std::string key = UniqueKey("receiver");
  auto* receiver = new Channel(Keys(key, "none"));
  Channel sender(Keys(UniqueKey("sender"), key));
  sender.Send("queued", 0);
  uint32_t windows = GavioLiveWindowCount();
  Recorder* recorder = &receiver->recorder;
  receiver->Get()->Destroy(0);
  EXPECT_EQ(recorder->received, std::vector<std::string>{"queued"});
  EXPECT_EQ(GavioLiveWindowCount(), windows - 1);
  receiver->Release();
  delete receiver;
  EXPECT_EQ(sender.Send("nobody", 1), 0);
}

TEST(IpcChannel, ListenersAddedOrRemovedDuringDelivery) {
  std::string key = UniqueKey("receiver");
  Channel receiver(Keys(key, "none"));
  Channel sender(Keys(UniqueKey("sender"), key));
  Recorder late, removed;
  gavio::IEventSource* source = gavio::EventSourceOf(receiver.Get());
  source->AddListener(&removed, 0);
  source->AddListener(nullptr, 0);
  receiver.recorder.onReceive = [&] {
    source->AddListener(&late, 0);
    source->RemoveListener(&removed);
  };
  sender.Send("one", 1);
  // Whichever of the two came after the recorder in key order: a removed
  // listener is not called, one added meanwhile waits for the next message.
  EXPECT_TRUE(removed.received.size() <= 1);
  EXPECT_TRUE(late.received.empty());
  sender.Send("two", 1);
  EXPECT_EQ(late.received, std::vector<std::string>{"two"});
  EXPECT_EQ(removed.received.size() <= 1, true);
  EXPECT_EQ(source->RemoveListener(&late), 1);
  EXPECT_EQ(source->RemoveListener(&late), 0);
}

TEST(IpcChannel, RoundTripsWithAnotherProcessInBothDeliveryModes) {
  std::string ours = UniqueKey("parent"), theirs = UniqueKey("child");
  Channel channel(Keys(ours, theirs));
  Peer peer({"echo", theirs, ours});
  ASSERT_TRUE(peer.started());
  ASSERT_NE(WaitForWindow(theirs), nullptr);

  // Immediate: the child answers from inside its delivery while this side
  // still waits in its send, so the answer has arrived when Send returns.
  EXPECT_EQ(channel.Send("ping", 1), 1);
  EXPECT_EQ(channel.recorder.received, std::vector<std::string>{"echo:ping"});

  // Deferred: the child delivers from its loop, after our send returned.
  EXPECT_EQ(channel.Send("later", 0), 1);
  ASSERT_TRUE(
      gavio_test::PumpAndPollUntil([&] { return channel.recorder.received.size() == 2; }));
  EXPECT_EQ(channel.recorder.received[1], "echo:later");

  // Every byte value, and more than one socket buffer's worth.
  std::string large(3 * 1024 * 1024 + 5, '\0');
  for (size_t i = 0; i < large.size(); ++i) large[i] = static_cast<char>(i * 7 + i / 251);
  EXPECT_EQ(channel.Send(large, 1), 1);
  ASSERT_EQ(channel.recorder.received.size(), 3u);
  EXPECT_TRUE(channel.recorder.received[2] == "echo:" + large);

  channel.Send("quit", 1);
  EXPECT_EQ(peer.Exit(), 0);
}

TEST(CrossProcessWindows, SendReturnsTheRemoteProcedureResult) {
  std::string key = UniqueKey("raw");
  Peer peer({"raw", key});
  HWND remote = WaitForWindow(key);
  ASSERT_NE(remote, nullptr);
  EXPECT_TRUE(IsWindow(remote));
  char bytes[5] = "abcd";
  COPYDATASTRUCT record{3, 4, bytes};
  EXPECT_EQ(SendMessageA(remote, WM_COPYDATA, 0, reinterpret_cast<LPARAM>(&record)), 4003);
  COPYDATASTRUCT empty{5, 0, nullptr};
  EXPECT_EQ(SendMessageA(remote, WM_COPYDATA, 0, reinterpret_cast<LPARAM>(&empty)), 5);
  EXPECT_EQ(SendMessageA(remote, WM_USER, 1, 2), 0);  // only WM_COPYDATA crosses
  EXPECT_EQ(GetLastError(), ERROR_NOT_SUPPORTED);
  COPYDATASTRUCT bad{1, 4, nullptr};
  EXPECT_EQ(SendMessageA(remote, WM_COPYDATA, 0, reinterpret_cast<LPARAM>(&bad)), 0);

  COPYDATASTRUCT quit{99, 0, nullptr};
  SendMessageA(remote, WM_COPYDATA, 0, reinterpret_cast<LPARAM>(&quit));
  EXPECT_EQ(peer.Exit(), 0);
  // Gone with its process: no longer found, and a send to the old handle fails.
  EXPECT_EQ(FindWindowExA(nullptr, nullptr, "static", key.c_str()), nullptr);
  EXPECT_EQ(SendMessageA(remote, WM_COPYDATA, 0, reinterpret_cast<LPARAM>(&record)), 0);
}

TEST(CrossProcessWindows, AReceiverThatDiesOrHangsDoesNotHoldTheSender) {
  std::string dying = UniqueKey("die"), hanging = UniqueKey("hang");
  Peer diePeer({"die", dying});
  Peer hangPeer({"hang", hanging});
  HWND dies = WaitForWindow(dying);
  HWND hangs = WaitForWindow(hanging);
  ASSERT_NE(dies, nullptr);
  ASSERT_NE(hangs, nullptr);
  char byte = 'x';
  COPYDATASTRUCT record{1, 1, &byte};
  EXPECT_EQ(SendMessageA(dies, WM_COPYDATA, 0, reinterpret_cast<LPARAM>(&record)), 0);
  EXPECT_EQ(GetLastError(), ERROR_BROKEN_PIPE);
  EXPECT_EQ(diePeer.Exit(), 7);

  DWORD previous = GavioSetRemoteSendTimeout(300);
  EXPECT_EQ(SendMessageA(hangs, WM_COPYDATA, 0, reinterpret_cast<LPARAM>(&record)), 0);
  EXPECT_EQ(GetLastError(), ERROR_TIMEOUT);
  GavioSetRemoteSendTimeout(previous);
}

std::vector<std::string> g_copied;

LRESULT AnswerFortyTwo(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
  if (msg == WM_COPYDATA) {
    const auto* record = reinterpret_cast<const COPYDATASTRUCT*>(lParam);
    g_copied.emplace_back(static_cast<const char*>(record->lpData), record->cbData);
    return 42;
  }
  return DefWindowProcA(hwnd, msg, wParam, lParam);
}

TEST(CrossProcessWindows, ATitleSetFromAnotherThreadIsServedOnTheOwnerThread) {
  std::string before = UniqueKey("before"), after = UniqueKey("after");
  HWND window = CreateWindowExA(0, "static", before.c_str(), 0, 0, 0, 0, 0, nullptr, nullptr,
                                nullptr, nullptr);
  SetWindowLongPtrA(window, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(AnswerFortyTwo));
  std::thread([&] { SetWindowTextA(window, after.c_str()); }).join();
  g_copied.clear();
  Peer sender({"send", after, "from afar"});
  EXPECT_EQ(sender.Exit(), 0);  // pumped meanwhile: the procedure runs on this thread
  EXPECT_EQ(g_copied, std::vector<std::string>{"from afar"});
  Peer stale({"send", before, "nobody"});
  EXPECT_EQ(stale.Exit(), 4);
  DestroyWindow(window);
}

TEST(CrossProcessWindows, TheFolderIsPrivateToTheUser) {
  char folder[256];
  ASSERT_TRUE(GavioGetRemoteWindowFolder(folder, sizeof folder));
  struct stat info;
  ASSERT_EQ(lstat(folder, &info), 0);
  EXPECT_TRUE(S_ISDIR(info.st_mode));
  EXPECT_EQ(info.st_mode & 0777, 0700u);
  EXPECT_EQ(info.st_uid, getuid());
  // A window of this process is published there while it has a title.
  std::string key = UniqueKey("published");
  size_t before = 0, during = 0;
  auto count = [&] {
    size_t n = 0;
    for (const auto& entry : std::filesystem::directory_iterator(folder)) {
      n += entry.path().filename().string().rfind(std::to_string(getpid()) + "-", 0) == 0;
    }
    return n;
  };
  before = count();
  HWND window = CreateWindowExA(0, "static", key.c_str(), 0, 0, 0, 0, 0, nullptr, nullptr,
                                nullptr, nullptr);
  during = count();
  DestroyWindow(window);
  EXPECT_EQ(during, before + 2);  // its socket and its title
  EXPECT_EQ(count(), before);
}

}  // namespace
