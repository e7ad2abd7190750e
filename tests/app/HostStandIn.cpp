// A stand-in for the host gaming software, for the tests of its shutdown and
// relaunch: it runs until it is asked to quit, or ignores the request.
//
//   Linux:   host_standin quit|ignore   quit: SIGTERM ends it; ignore: SIGTERM
//            is ignored. Writes "ready\n" to standard output once set up.
//   Windows: Moxel.exe wait|ignore      creates the host software's shutdown
//            event; wait: ends with exit code 7 when the event is set;
//            ignore: never looks at it.
#include <cstdio>
#include <cstring>

#if defined(_WIN32)
#include <windows.h>

int main(int argc, char** argv) {
  const bool wait = argc > 1 && std::strcmp(argv[1], "wait") == 0;
  HANDLE event = ::CreateEventW(nullptr, TRUE, FALSE, L"Global\\Moxel_1.00_GlobalShutdown");
  if (event == nullptr) return 2;
  if (wait) {
    ::WaitForSingleObject(event, INFINITE);
    return 7;
  }
  for (;;) ::Sleep(60000);
}
#else
#include <signal.h>
#include <unistd.h>

int main(int argc, char** argv) {
  if (argc > 1 && std::strcmp(argv[1], "ignore") == 0) ::signal(SIGTERM, SIG_IGN);
  std::fputs("ready\n", stdout);
  std::fflush(stdout);
  for (;;) ::pause();
}
#endif
