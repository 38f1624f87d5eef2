// The per-device capture worker: the raw frame double buffer, the RGB image
// the pin's Process routine converts into when no client frame waits, and
// the capture thread that keeps reading frames while the pin runs.
//
// The hand-off. The thread fills one raw buffer while the other waits for or
// undergoes conversion; a buffer's state changes only inside sections
// guarded by bufferLock, which the thread and Process share. Conversion runs
// in Process, never in the thread, and the thread never waits for it: with
// both buffers taken it overwrites the ready one, so the newest frame wins.
#pragma once

#include "driver/wdk.h"

class DeviceContext;
struct ImagePipeline;

enum CaptureState : LONG { CaptureStopped = 0, CapturePaused = 1, CaptureRunning = 2 };
enum RawBufferState : LONG { BufferFree = 0, BufferFilling = 1, BufferReady = 2, BufferConverting = 3 };

// Where the newest picture of the run is, for a delivery with no new frame.
enum PictureSource : LONG {
    PictureNone = 0,            // none converted since the thread last started
    PictureInClientRows = 1,    // just converted straight into the client's rows
    PictureInImage = 2,         // rgbImage holds it
    PictureInWorkingBuffer = 3, // it went straight into a client's frame, now
                                // gone: the pipeline's working buffer and frame
                                // parameters convert it again (ConvertPictureAgain)
};

// A client frame's rows as the conversion writes them: image row r (top row
// first) at firstRow + r * pitch. The client's format is bottom-up, so
// firstRow is the frame's last row and pitch is negative.
struct ClientRows {
    PUCHAR firstRow;
    LONG_PTR pitch;
};

struct CaptureWorker {
    ImagePipeline* pipeline;  // set by PrepareStreaming
    PUCHAR rgbImage;          // frameWidth x frameHeight x 4 bytes (FramePoolTag); the pipeline's outputBuffer
    LONG captureState;        // CaptureState; changed only by the worker's own transitions below
    KEVENT conversionDone;    // notification event: set when Process leaves a conversion
    PVOID captureThread;      // referenced thread object of the running thread, or null
    LONG volatile converting; // 1 from Process's start of a conversion to the end of its copy
    LONG bufferState[2];      // RawBufferState; under bufferLock
    PUCHAR rawBuffer[2];      // RawFrame buffers of rawFrameSize bytes (FramePoolTag)
    // The thread loops while set. A 32-bit flag rather than a byte so that
    // the thread's read and StopCapture's write are single atomic accesses
    // on every compiler.
    LONG volatile running;
    LONG volatile framesRead; // frames read and marked ready since PrepareStreaming
    // PictureNone, PictureInImage or PictureInWorkingBuffer: where the newest
    // picture converted since the thread last started is. Until there is one,
    // rgbImage and the working buffer hold fresh pool or a picture from before
    // a pause, neither of which may reach a client. Under bufferLock.
    LONG picture;
    DeviceContext* owner;
    // Makes the buffer-state sections of the thread and of Process exclude
    // each other. A spin lock: the sections are a few instructions and never
    // wait, it works at any IRQL up to DISPATCH_LEVEL (should processing ever
    // move there), and it also guards the converting/running pair that the
    // stop handshake reads (see StopCapture). A critical region alone would
    // only hold off kernel APCs and exclude nobody.
    KSPIN_LOCK bufferLock;
};

// Allocates a zero-filled worker for `owner` (ContextPoolTag); null when out of memory.
CaptureWorker* AllocateCaptureWorker(DeviceContext* owner);
// Object bag callback: releases a worker made by AllocateCaptureWorker.
VOID NTAPI FreeCaptureWorker(PVOID worker);

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
// if any, straight into `client` (rows the caller has checked hold the whole
// image), or into rgbImage when `client` is null, and returns TRUE with
// *source saying where the picture to deliver is: PictureInClientRows (done),
// PictureInImage (copy it), PictureInWorkingBuffer (ConvertPictureAgain),
// PictureNone (none yet in this run). rgbImage and the working buffer stay
// valid until EndConversion. FALSE when the worker is stopping or stopped:
// nothing may be read, and EndConversion is not called.
BOOLEAN ConvertReadyFrame(CaptureWorker* worker, const ClientRows* client, PictureSource* source);
// Between ConvertReadyFrame, which said PictureInWorkingBuffer, and
// EndConversion: converts that picture again into `client`, the same bytes
// as its first delivery.
VOID ConvertPictureAgain(CaptureWorker* worker, const ClientRows* client);
// Process is done with rgbImage: clears converting and sets conversionDone.
VOID EndConversion(CaptureWorker* worker);
