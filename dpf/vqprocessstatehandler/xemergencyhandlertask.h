// XEmergencyHandlerTask: the one background worker of the module.
//
// Contract:
// - Its body (Execute) runs on a thread of its own. It installs the structured-exception
//   translator for that thread, joins the multithreaded COM apartment and then, until it is
//   stopped, waits one cycle interval on its termination event (dispatching the thread's messages)
//   and after each time-out runs one cycle: HandleServerEmergencyState, then
//   HandleClientEmergencyFailoverState of the instance. The first cycle runs after one full wait.
// - Stopping: SetTerminationEvent() wakes a waiting worker at once; a running cycle is finished
//   first. The stop request of the base is tested only before each wait.
// - An error that escapes a cycle (or COM initialisation, or a wait) ends the worker for good: it
//   is stored as the task's error, written to the log book once, and every handler of every
//   registration receives agent error kind 3. Nothing leaves the thread.
// - Cycle interval: in seconds, 0 = no time-out (only the termination event ends the wait). Tests
//   may count it in another unit (milliseconds) through the second constructor argument.
#pragma once

#include "Rudada64/XThreadedTask.h"
#include "vqplatform/handles.h"
#include "xemergencyhandlerthreadscheduler.h"

class XEmergencyHandlerInstance;

class XEmergencyHandlerTask
    : public XThreadedTask<XEmergencyHandlerInstance,
                           XThreadedTaskTraits::XThreadSchedulerTraits<XEmergencyHandlerThreadScheduler>> {
  public:
    // Creates the termination event; throws when that fails.
    explicit XEmergencyHandlerTask(DWORD dwCycleInterval, DWORD dwUnitMilliseconds = 1000);
    ~XEmergencyHandlerTask() override;

    void SetTerminationEvent();
    DWORD Execute(XEmergencyHandlerInstance* pInstance) override;

  private:
    DWORD m_dwCycleInterval;
    DWORD m_dwUnitMilliseconds;
    vqplatform::unique_handle m_hTerminationEvent;
};
