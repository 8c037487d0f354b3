// Per-thread status record: created by a thread's first update run, freed when the
// thread ends (the thread_local owner's destructor).
#include "FlashCore.h"

#include <memory>
#include <new>

namespace nimbra::flash {
namespace {
thread_local std::unique_ptr<UpdateStatus> t_status;
thread_local PercentObserver t_observer = nullptr;
thread_local void* t_observerContext = nullptr;
}  // namespace

UpdateStatus* ThreadStatus(bool create) {
    if (!t_status && create) t_status.reset(new (std::nothrow) UpdateStatus{});
    return t_status.get();
}

void SetPercent(int value) {
    if (t_status) t_status->percent = value;
    if (t_observer) t_observer(t_observerContext, value);
}

void SetPercentObserver(PercentObserver observer, void* context) {
    t_observer = observer;
    t_observerContext = context;
}

}  // namespace nimbra::flash
