// The process entry: chooses from the first argument what the executable does.
#include <cstdio>
#include <cstring>

#include "platform/console.h"
#include "tftp/listener.h"

namespace {

bool SwitchIs(const char* argument, const char* name) {
  for (; *argument && *name; ++argument, ++name) {
    char a = *argument;
    if (a >= 'A' && a <= 'Z') a = static_cast<char>(a - 'A' + 'a');
    if (a != *name) return false;
  }
  return *argument == *name;
}

void StopConsoleListener() {
  quoril::gLocalAddressTable.sockets.CloseFromControl();
}

}  // namespace

int main(int argc, char** argv) {
  if (argc > 1 && SwitchIs(argv[1], "-debug")) {
    quoril::platform::WatchConsoleStop(StopConsoleListener);
    quoril::Listener(nullptr);
    return 0;
  }
  std::fputs("\nQuoril service command line switches:\n\n", stdout);
  std::fputs("-install\n", stdout);
  std::fputs("-remove\n", stdout);
  std::fputs("-version\n", stdout);
  return 0;
}
