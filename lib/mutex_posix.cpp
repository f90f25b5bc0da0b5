// The Linux lock behind velk::Mutex, shared by the library and the fuzz build.
#include <mutex>
#include <new>

#include "platform.h"

namespace velk {

static_assert(sizeof(std::mutex) <= sizeof(Mutex) && alignof(std::mutex) <= alignof(Mutex), "Mutex storage too small");

Mutex::Mutex()
{
    new (impl_) std::mutex();
}

Mutex::~Mutex()
{
    std::launder(reinterpret_cast<std::mutex *>(impl_))->~mutex();
}

void Mutex::lock()
{
    std::launder(reinterpret_cast<std::mutex *>(impl_))->lock();
}

void Mutex::unlock()
{
    std::launder(reinterpret_cast<std::mutex *>(impl_))->unlock();
}

}  // namespace velk
