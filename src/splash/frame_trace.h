#pragma once
// Link-time hooks through which a measuring build watches the splash window keep up
// with the worker. Zelk.exe links the empty definitions of frame_trace_off.cpp; a
// benchmark program links recording ones instead, so the product itself is unchanged.

namespace zelk {

// SetStatus, under the status lock, once the record holds the new values.
void TraceStatusChanged();

// CopyStatus, under the status lock: the values that the frame being drawn shows.
void TraceStatusCopied();

// PresentSplash, once UpdateLayeredWindow has taken the frame.
void TraceFrameDrawn();

// The worker, after the update flow and before it posts MSG_FLOW_FINISHED.
void TraceFlowFinished();

// WM_DESTROY of the splash window.
void TraceWindowClosed();

}  // namespace zelk
