#include "fake_parport.h"

#include <errno.h>
#include <fcntl.h>
#include <linux/parport.h>
#include <linux/ppdev.h>
#include <signal.h>
#include <stdio.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <umockdev.h>
#include <unistd.h>
#include <windows.h>

#include <algorithm>
#include <chrono>
#include <future>

extern char** environ;

namespace {

using State = FakeParport;
constexpr size_t kIdChunk = 7;  // device-ID bytes per nibble-mode read
uint32_t Now() { return GetTickCount(); }

// The pointed-to argument of an ioctl.
UMockdevIoctlData* Arg(UMockdevIoctlClient* c, size_t cb) {
  return umockdev_ioctl_data_resolve(umockdev_ioctl_client_get_arg(c), 0, cb, nullptr);
}

// A handler of the device's calls, under the state's lock: the printer's
// time passes and what it sent is collected first; a device that is gone
// answers every call with ENODEV.
template <void (*Handle)(State*, UMockdevIoctlClient*)>
gboolean Handler(UMockdevIoctlBase*, UMockdevIoctlClient* c, gpointer user) {
  State* s = (State*)user;
  std::lock_guard<std::mutex> lock(s->mu);
  s->printer.Tick(Now());
  emu::Bytes out = s->printer.TakeOutput();
  s->toHost.insert(s->toHost.end(), out.begin(), out.end());
  if (s->fGone)
    umockdev_ioctl_client_complete(c, -1, ENODEV);
  else
    Handle(s, c);
  return TRUE;
}

void OnIoctl(State* s, UMockdevIoctlClient* c) {
  gulong req = umockdev_ioctl_client_get_request(c);
  int err = 0;
  if (req == PPCLAIM || req == PPRELEASE) {
    s->log.push_back(req == PPCLAIM ? "claim" : "release");
  } else if (req == PPSETTIME) {
    const struct timeval* tv = (const struct timeval*)Arg(c, sizeof(struct timeval))->data;
    s->log.push_back("settime " + std::to_string(tv->tv_sec * 1000 + tv->tv_usec / 1000));
  } else if (req == PPNEGOT) {
    int iMode = *(int*)Arg(c, sizeof(int))->data;
    s->log.push_back("negot " + std::to_string(iMode));
    if (iMode == IEEE1284_MODE_ECP && s->setup.iNegotiateErrno) {
      err = s->setup.iNegotiateErrno;
    } else {
      s->iMode = iMode;
      if (iMode == (IEEE1284_MODE_NIBBLE | IEEE1284_DEVICEID))
        s->idLeft = emu::RawDeviceId(s->printer.config());
    }
  } else if (req == PPSETMODE) {
    s->fAddrMode = (*(int*)Arg(c, sizeof(int))->data & IEEE1284_ADDR) != 0;
  } else if (req == PPRSTATUS) {
    bool fRequest = s->iMode == IEEE1284_MODE_ECP && !s->toHost.empty();
    Arg(c, 1)->data[0] = fRequest ? 0 : PARPORT_STATUS_ERROR;
  } else {
    err = EINVAL;
  }
  umockdev_ioctl_client_complete(c, err ? -1 : 0, err);
}

void OnWrite(State* s, UMockdevIoctlClient* c) {
  UMockdevIoctlData* d = umockdev_ioctl_client_get_arg(c);
  if (s->fAddrMode) {
    char sz[16];
    snprintf(sz, sizeof sz, "addr %02x", d->data_len == 1 ? d->data[0] : 0xFFFF);
    s->log.push_back(sz);
    s->bAddress = d->data[0] & 0x7F;
    return umockdev_ioctl_client_complete(c, d->data_len, 0);
  }
  size_t cbRoom = s->setup.cbTakeBudget > s->cbData ? s->setup.cbTakeBudget - s->cbData : 0;
  size_t cb = std::min((size_t)d->data_len, cbRoom);
  s->log.push_back("data " + std::to_string(cb));
  s->printer.Receive(s->bAddress, d->data, cb, Now());
  s->cbData += cb;
  if (s->cbData >= s->setup.cbVanishAfter) {
    s->fGone = true;
    s->log.push_back("gone");
  }
  umockdev_ioctl_client_complete(c, (long)cb, 0);
}

// Nibble-mode reads give the device ID in small pieces, ECP reads what the
// printer sent; nothing waiting is EAGAIN.
void OnRead(State* s, UMockdevIoctlClient* c) {
  UMockdevIoctlData* d = umockdev_ioctl_client_get_arg(c);
  bool fId = s->iMode == (IEEE1284_MODE_NIBBLE | IEEE1284_DEVICEID);
  emu::Bytes* from = fId ? &s->idLeft : s->iMode == IEEE1284_MODE_ECP ? &s->toHost : nullptr;
  size_t cb = from ? std::min({(size_t)d->data_len, from->size(), fId ? kIdChunk : SIZE_MAX}) : 0;
  if (cb == 0) {
    s->cEmptyReads += from == &s->toHost;
    return umockdev_ioctl_client_complete(c, -1, EAGAIN);
  }
  umockdev_ioctl_data_update(d, 0, from->data(), (gint)cb);
  from->erase(from->begin(), from->begin() + cb);
  umockdev_ioctl_client_complete(c, (long)cb, 0);
}

emu::EmuConfig WithServices(emu::EmuConfig c) {
  if (c.services.empty()) c.services = emu::DefaultServices();
  return c;
}

}  // namespace

FakeParport::FakeParport(const FakeSetup& s)
    : setup(s), printer(WithServices(s.printer), nullptr), iMode(IEEE1284_MODE_COMPAT) {
  std::promise<void> ready;
  thread = std::thread([this, &ready] {
    GMainContext* ctx = g_main_context_new();
    g_main_context_push_thread_default(ctx);
    loop = g_main_loop_new(ctx, FALSE);
    UMockdevTestbed* tb = umockdev_testbed_new();
    GError* e = nullptr;
    umockdev_testbed_add_from_string(
        tb, "P: /devices/parport0\nN: parport0\nE: SUBSYSTEM=ppdev\n\n", &e);
    UMockdevIoctlBase* dev = umockdev_ioctl_base_new();
    g_signal_connect(dev, "handle-ioctl", G_CALLBACK(Handler<OnIoctl>), this);
    g_signal_connect(dev, "handle-read", G_CALLBACK(Handler<OnRead>), this);
    g_signal_connect(dev, "handle-write", G_CALLBACK(Handler<OnWrite>), this);
    umockdev_testbed_attach_ioctl(tb, "/dev/parport0", dev, &e);
    gchar* root = umockdev_testbed_get_root_dir(tb);
    dir = root;
    g_free(root);
    ready.set_value();
    g_main_loop_run(loop);
    umockdev_testbed_detach_ioctl(tb, "/dev/parport0", nullptr);
    g_object_unref(dev);
    g_object_unref(tb);
    g_main_context_pop_thread_default(ctx);
    g_main_loop_unref(loop);
    g_main_context_unref(ctx);
  });
  ready.get_future().wait();
}

FakeParport::~FakeParport() {
  g_main_loop_quit(loop);
  thread.join();
}

int StartChild(const std::vector<std::string>& argv, const std::string& testbed,
               const std::string& outFile) {
  std::vector<std::string> env;
  bool fPreload = !testbed.empty();
  for (char** e = environ; *e; ++e)  // all but what is set below
    if (strncmp(*e, "ASAN_OPTIONS=", 13) && strncmp(*e, "LD_PRELOAD=", 11) &&
        strncmp(*e, "UMOCKDEV_DIR=", 13))
      env.push_back(*e);
  const char* asan = getenv("ASAN_OPTIONS");
  // The preload comes before the sanitizer's runtime in the library list.
  env.push_back(std::string("ASAN_OPTIONS=") + (asan ? asan : "") +
                (fPreload ? ":verify_asan_link_order=0" : ""));
  if (fPreload) {
    env.push_back("LD_PRELOAD=libumockdev-preload.so.0");
    env.push_back("UMOCKDEV_DIR=" + testbed);
  }
  std::vector<char*> args, envp;
  for (const std::string& a : argv) args.push_back((char*)a.c_str());
  args.push_back(nullptr);
  for (std::string& v : env) envp.push_back((char*)v.c_str());
  envp.push_back(nullptr);
  pid_t pid = fork();
  if (pid == 0) {
    int fd = open(outFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    dup2(fd, 1);
    dup2(fd, 2);
    execve(args[0], args.data(), envp.data());
    _exit(127);
  }
  return pid;
}

int WaitChild(int pid, unsigned uSeconds) {
  std::future<int> end = std::async(std::launch::async, [pid] {
    int status = 0;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  });
  if (end.wait_for(std::chrono::seconds(uSeconds)) == std::future_status::ready) return end.get();
  kill(pid, SIGKILL);
  end.get();
  return -1;
}
