#include "capture/ThreadName.h"

#include <pthread.h>

namespace kestrova {

void NameThisThread(const std::string& name) { pthread_setname_np(pthread_self(), name.substr(0, 15).c_str()); }

}  // namespace kestrova
