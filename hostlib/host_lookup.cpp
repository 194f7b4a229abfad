// CHostLookup (66): resolves a host name to IPv4 addresses on a worker
// thread and reports the result, exactly once per started lookup, on the
// thread that created the component, through a hidden "static" window whose
// procedure is subclassed.
//
// The worker never touches the component: it shares a reference-counted
// LookupJob with it. The component lets go of the job when the lookup is
// superseded or the component is destroyed, clearing the job's window under
// the job's lock, so a late result is dropped instead of being posted to a
// window that is gone. The message carries only the job's generation; a
// message for a job the component no longer holds is ignored.
//
// Failure codes are the resolver codes a Windows host reports:
// 11001 host not found, 11002 try again, 11003 no recovery, 11004 no IPv4
// address; ERROR_NOT_ENOUGH_MEMORY and errno-based codes otherwise.
//
// Thread safety: create, use and destroy the component on one thread, which
// must pump messages for the event to arrive.
#include <netdb.h>
#include <netinet/in.h>
#include <string.h>
#include <sys/socket.h>

#include <algorithm>
#include <atomic>
#include <map>
#include <new>
#include <vector>

#include "host_component.h"
#include "hostlib.h"
#include "platform/errors.h"
#include "platform/messages.h"
#include "platform/sync.h"

namespace gavio::hostlib {
namespace {

constexpr UINT kLookupDoneMessage = WM_APP + 0x66;
constexpr size_t kMaxHostNameLength = 255;
constexpr size_t kMaxAddresses = 32;

constexpr uint32_t kErrorHostNotFound = 11001;
constexpr uint32_t kErrorTryAgain = 11002;
constexpr uint32_t kErrorNoRecovery = 11003;
constexpr uint32_t kErrorNoAddress = 11004;

struct LookupJob {
  LookupJob(HWND owner, uint32_t number, const char* name)
      : window(owner), generation(number), hostName(name) {
    InitializeCriticalSection(&lock);
  }
  ~LookupJob() { DeleteCriticalSection(&lock); }

  // One reference for the component, one for the worker.
  std::atomic<int> refs{2};
  CRITICAL_SECTION lock;
  HWND window;  // guarded by lock; null once the component let go
  const uint32_t generation;
  const std::string hostName;
  std::vector<uint32_t> addresses;  // guarded by lock
  uint32_t error = 0;               // guarded by lock
  bool done = false;                // guarded by lock
};

void ReleaseJob(LookupJob* job) {
  if (job->refs.fetch_sub(1) == 1) delete job;
}

uint32_t ResolverError(int code) {
  switch (code) {
    case EAI_NONAME:
      return kErrorHostNotFound;
    case EAI_AGAIN:
      return kErrorTryAgain;
#ifdef EAI_NODATA
    case EAI_NODATA:
#endif
#ifdef EAI_ADDRFAMILY
    case EAI_ADDRFAMILY:
#endif
      return kErrorNoAddress;
    case EAI_MEMORY:
      return ERROR_NOT_ENOUGH_MEMORY;
    case EAI_SYSTEM:
      return Win32ErrorFromErrno(errno);
    default:
      return kErrorNoRecovery;
  }
}

// The distinct IPv4 addresses of name in network byte order; 0 or the error.
uint32_t ResolveIPv4(const std::string& name, std::vector<uint32_t>* addresses) {
  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* list = nullptr;
  int code = getaddrinfo(name.c_str(), nullptr, &hints, &list);
  if (code != 0) return ResolverError(code);
  for (addrinfo* entry = list; entry != nullptr && addresses->size() < kMaxAddresses;
       entry = entry->ai_next) {
    if (entry->ai_family != AF_INET || entry->ai_addrlen < sizeof(sockaddr_in)) continue;
    sockaddr_in ipv4;
    memcpy(&ipv4, entry->ai_addr, sizeof ipv4);
    uint32_t address = ipv4.sin_addr.s_addr;
    if (std::find(addresses->begin(), addresses->end(), address) == addresses->end()) {
      addresses->push_back(address);
    }
  }
  freeaddrinfo(list);
  return addresses->empty() ? kErrorNoAddress : 0;
}

DWORD LookupThread(void* parameter) {
  auto* job = static_cast<LookupJob*>(parameter);
  std::vector<uint32_t> addresses;
  uint32_t error = ResolveIPv4(job->hostName, &addresses);
  EnterCriticalSection(&job->lock);
  job->addresses = std::move(addresses);
  job->error = error;
  job->done = true;
  if (job->window != nullptr) PostMessageA(job->window, kLookupDoneMessage, job->generation, 0);
  LeaveCriticalSection(&job->lock);
  ReleaseJob(job);
  return 0;
}

LRESULT LookupWindowProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam);

class CHostLookup final : public HostComponent<kHostLookupId, IHostLookup, IEventSource> {
 public:
  CHostLookup() { CreateMessageWindow(); }

  int32_t Resolve(const char* hostName) override {
    if (IsFinalised()) return Fail(ERROR_INVALID_HANDLE);
    if (hostName == nullptr || hostName[0] == '\0') return Fail(ERROR_INVALID_PARAMETER);
    if (strlen(hostName) > kMaxHostNameLength) return Fail(ERROR_INVALID_NAME);
    if (window_ == nullptr) return Fail(ERROR_INVALID_WINDOW_HANDLE);
    DropJob();
    auto* job = new (std::nothrow) LookupJob(window_, ++generation_, hostName);
    if (job == nullptr) return Fail(ERROR_NOT_ENOUGH_MEMORY);
    HANDLE thread = CreateThread(nullptr, 0, LookupThread, job, 0, nullptr);
    if (thread == nullptr) {
      DWORD error = GetLastError();
      delete job;
      return Fail(error);
    }
    CloseHandle(thread);
    job_ = job;
    return 1;
  }

  void AddListener(void* listener, uint32_t value) override {
    if (listener != nullptr) listeners_[listener] = value;
  }

  int32_t RemoveListener(void* listener) override {
    return static_cast<int32_t>(listeners_.erase(listener));
  }

  LRESULT WindowProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message != kLookupDoneMessage) {
      return CallWindowProcA(staticProc_, hwnd, message, wParam, lParam);
    }
    OnLookupDone(static_cast<uint32_t>(wParam));
    return 0;
  }

 private:
  static int32_t Fail(DWORD error) {
    SetLastError(error);
    return 0;
  }

  void ComponentFinalize() override {
    DropJob();
    DestroyMessageWindow();
    listeners_.clear();
  }

  void CreateMessageWindow() {
    window_ = CreateWindowExA(0, "static", "", 0, 0, 0, 0, 0, nullptr, nullptr, nullptr, nullptr);
    if (window_ == nullptr) {
      DebugPrint("CHostLookup::CreateMessageWindow(), CreateWindowExA fail, error id = %u\n",
                 GetLastError());
      return;
    }
    SetWindowLongPtrA(window_, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(this));
    staticProc_ = reinterpret_cast<WNDPROC>(
        SetWindowLongPtrA(window_, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(&LookupWindowProc)));
  }

  void DestroyMessageWindow() {
    if (window_ == nullptr) return;
    SetWindowLongPtrA(window_, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(staticProc_));
    SetWindowLongPtrA(window_, GWLP_USERDATA, 0);
    DestroyWindow(window_);
    window_ = nullptr;
  }

  // Lets go of the running lookup; its worker will drop the result.
  void DropJob() {
    if (job_ == nullptr) return;
    EnterCriticalSection(&job_->lock);
    job_->window = nullptr;
    LeaveCriticalSection(&job_->lock);
    ReleaseJob(job_);
    job_ = nullptr;
  }

  void OnLookupDone(uint32_t generation) {
    if (job_ == nullptr || job_->generation != generation) return;
    EnterCriticalSection(&job_->lock);
    bool done = job_->done;
    std::vector<uint32_t> addresses = std::move(job_->addresses);
    uint32_t error = job_->error;
    LeaveCriticalSection(&job_->lock);
    if (!done) return;
    DropJob();
    // A listener may destroy this component or start another lookup.
    HostHold hold(this);
    std::map<void*, uint32_t> listeners = listeners_;
    for (const auto& entry : listeners) {
      if (IsFinalised()) break;
      auto* sink = static_cast<IHostLookupSink*>(entry.first);
      if (error == 0) {
        sink->OnHostLookupSuccess(addresses.data(), static_cast<uint32_t>(addresses.size()));
      } else {
        sink->OnHostLookupFail(error);
      }
    }
  }

  HWND window_ = nullptr;
  WNDPROC staticProc_ = nullptr;
  LookupJob* job_ = nullptr;
  uint32_t generation_ = 0;
  std::map<void*, uint32_t> listeners_;
};

LRESULT LookupWindowProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
  auto* self = reinterpret_cast<CHostLookup*>(GetWindowLongPtrA(hwnd, GWLP_USERDATA));
  if (self == nullptr) return DefWindowProcA(hwnd, message, wParam, lParam);
  return self->WindowProc(hwnd, message, wParam, lParam);
}

}  // namespace

IComponent* NewHostLookup() { return new (std::nothrow) CHostLookup; }

}  // namespace gavio::hostlib
