// Holds a pthread mutex for a scope. Plain pthread primitives throughout the library: the C++
// ones would bring the C++ runtime's exception support in for errors it can never report.
#pragma once

#include <pthread.h>

class MutexHold {
public:
    explicit MutexHold(pthread_mutex_t& mutex) : mutex_(mutex) { pthread_mutex_lock(&mutex_); }
    ~MutexHold() { pthread_mutex_unlock(&mutex_); }
    MutexHold(const MutexHold&) = delete;
    MutexHold& operator=(const MutexHold&) = delete;

private:
    pthread_mutex_t& mutex_;
};
