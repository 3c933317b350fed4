// The hooks of frame_trace.h as Zelk.exe has them: nothing is recorded.

#include "splash/frame_trace.h"

namespace zelk {

void TraceStatusChanged() {}
void TraceStatusCopied() {}
void TraceFrameDrawn() {}
void TraceFlowFinished() {}
void TraceWindowClosed() {}

}  // namespace zelk
