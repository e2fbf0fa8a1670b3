#ifndef VXTEST_EVENTLOOP_H
#define VXTEST_EVENTLOOP_H

#include <QSignalSpy>
#include <functional>

namespace vxtest {

// Runs the event loop until the spy has recorded at least `count` emissions or `timeoutMs` passed.
// Returns whether the count was reached.
bool waitForCount(QSignalSpy& spy, int count = 1, int timeoutMs = 10000);

// Runs the event loop until `done` returns true or `timeoutMs` passed. Returns the last value of done.
bool runUntil(const std::function<bool()>& done, int timeoutMs = 10000);

// Runs the event loop for `ms` milliseconds, delivering everything queued meanwhile.
void runFor(int ms);

// Delivers the events queued now (and those they queue) without waiting for new ones.
void drainEvents();

} // namespace vxtest

#endif // VXTEST_EVENTLOOP_H
