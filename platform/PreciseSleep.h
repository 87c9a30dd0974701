#pragma once

#include <QCoroTask>

#include <chrono>

// A coroutine wait on a precise timer (QCoro::sleepFor may end a few percent early).
QCoro::Task<> preciseSleep(std::chrono::milliseconds duration);
