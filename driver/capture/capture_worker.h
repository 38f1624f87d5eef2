// The per-device capture worker: the raw frame double buffer, the RGB image
// the pin's Process routine converts into, and the capture thread that keeps
// reading frames while the pin runs.
//
// The hand-off. The thread fills one raw buffer while the other waits for or
// undergoes conversion; a buffer's state changes only inside sections
// guarded by bufferLock, which the thread and Process share. Conversion runs
// in Process, never in the thread, and the thread never waits for it: with
// both buffers taken it overwrites the ready one, so the newest frame wins.
#pragma once

#include "wdk.h"

class DeviceContext;
struct ImagePipeline;

enum CaptureState : LONG { CaptureStopped = 0, CapturePaused = 1, CaptureRunning = 2 };
enum RawBufferState : LONG { BufferFree = 0, BufferFilling = 1, BufferReady = 2, BufferConverting = 3 };

struct CaptureWorker {
    ImagePipeline* pipeline;  // set by PrepareStreaming
    PUCHAR rgbImage;          // frameWidth x frameHeight x 4 bytes (tag 'hVLT'); the pipeline's outputBuffer
    LONG captureState;        // CaptureState; changed only by the worker's own transitions below
    KEVENT conversionDone;    // notification event: set when Process leaves a conversion
    PVOID captureThread;      // referenced thread object of the running thread, or null
    LONG volatile converting; // 1 from Process's start of a conversion to the end of its copy
    LONG bufferState[2];      // RawBufferState; under bufferLock
    PUCHAR rawBuffer[2];      // RawFrame buffers of rawFrameSize bytes (tag 'hVLT')
    // The thread loops while set. A 32-bit flag rather than a byte so that
    // the thread's read and StopCapture's write are single atomic accesses
    // on every compiler.
    LONG volatile running;
    LONG volatile framesRead; // frames read and marked ready since PrepareStreaming
    // Set once rgbImage holds an image converted since the thread last
    // started; until then rgbImage holds fresh pool or an image from before
    // a pause, neither of which may reach a client. Under bufferLock.
    LONG imageConverted;
    DeviceContext* owner;
    // Makes the buffer-state sections of the thread and of Process exclude
    // each other. A spin lock: the sections are a few instructions and never
    // wait, it works at any IRQL up to DISPATCH_LEVEL (should processing ever
    // move there), and it also guards the converting/running pair that the
    // stop handshake reads (see StopCapture). A critical region alone would
    // only hold off kernel APCs and exclude nobody.
    KSPIN_LOCK bufferLock;
};

// Allocates a zero-filled worker for `owner` (tag 'wNCK'); null when out of memory.
CaptureWorker* AllocateCaptureWorker(DeviceContext* owner);
// Object bag callback: releases a worker made by AllocateCaptureWorker.
VOID FreeCaptureWorker(PVOID worker);

// On the pin's first transition to run: programs the frame geometry, takes
// the raw, RGB and working buffers and starts the thread. A status; on
// failure nothing is kept and no thread runs.
NTSTATUS PrepareStreaming(DeviceContext* context);
// Both buffers free, no converted image yet, running set, the system thread
// created. A thread that cannot be created is reported (its status) and
// leaves running clear: a pin cannot run without frames to deliver.
NTSTATUS StartCaptureThread(CaptureWorker* worker);
// Stops the thread (its read in flight cancelled) and waits for a conversion
// in progress. When it returns neither the thread nor Process touches the
// buffers until StartCaptureThread.
VOID StopCapture(CaptureWorker* worker);
// StopCapture, then the streaming buffers are released.
VOID EndStreaming(CaptureWorker* worker);
// The pin leaves run for pause: a running worker stops its thread and keeps
// its buffers for the run that may follow. Nothing happens otherwise.
VOID PauseCapture(CaptureWorker* worker);
// The pin runs again after such a pause: a paused worker starts its thread
// again. A thread that cannot be created is reported (its status) and leaves
// the worker paused with its buffers, so that a later run tries again. A
// worker that was not paused is left alone (success).
NTSTATUS ResumeCapture(CaptureWorker* worker);

// The double buffer's tie-breaks, each called under bufferLock. The buffer
// the thread fills next: a free one (buffer 0 first); with none free, the
// ready one that is not being converted, so the newest frame replaces the
// older one and the camera is read without pause.
ULONG ChooseBufferToFill(const CaptureWorker* worker);
// The buffer Process converts: buffer 0 if ready, else buffer 1 if ready,
// else none (-1).
LONG PickReadyBuffer(const CaptureWorker* worker);

// The thread's start routine, and one read of a raw frame into `buffer`.
KSTART_ROUTINE CaptureThread;
BOOLEAN CaptureOneFrame(CaptureWorker* worker, ULONG buffer);

// Called by the pin's Process routine. Converts the newest ready raw buffer,
// if any, into rgbImage and returns TRUE: rgbImage stays valid until
// EndConversion, and holds an image to deliver when *converted comes back
// TRUE (an image converted since the thread started, perhaps again). FALSE
// when the worker is stopping or stopped: nothing may be read, and
// EndConversion is not called.
BOOLEAN ConvertReadyFrame(CaptureWorker* worker, BOOLEAN* converted);
// Process is done with rgbImage: clears converting and sets conversionDone.
VOID EndConversion(CaptureWorker* worker);
