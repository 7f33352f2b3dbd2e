#pragma once
namespace kern::workqueue {
void start(); // at boot
void stop();  // at halt: runs what is queued, then ends the worker
} // namespace kern::workqueue
