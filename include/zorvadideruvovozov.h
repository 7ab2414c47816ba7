// Zorvadideruvovozov: ray-tracing foundations for interactive renderers.
// Including this header brings in the whole public interface.
#ifndef ZORVADIDERUVOVOZOV_H
#define ZORVADIDERUVOVOZOV_H

#include "PlxFatalErrorCapture.h"
#include "PlxSystem.h"
#include "ZrvGfxConcurrency.h"
#include "gfxAlignedMemory.h"
#include "gfxCPUInfo.h"
#include "gfxExport.h"
#include "gfxJournal.h"
#include "gfxKDTreeCompileState.h"
#include "gfxMath.h"
#include "gfxRTAccelerationStructureServices.h"
#include "gfxRTBVH.h"
#include "gfxRTKDTree.h"
#include "gfxRTKDTreeBase.h"
#include "gfxRTKDTreeSAH.h"
#include "gfxRTKDTreeThread.h"
#include "gfxRTPseudoNormals.h"
#include "gfxRTWideBVH.h"
#include "gfxRTWideClosestPoint.h"
#include "gfxRTWideHitList.h"
#include "gfxRTWideScene.h"
#include "gfxRTOrderedSamples.h"
#include "gfxRayTracing.h"
#include "gfxSplitCandidate.h"
#include "gfxStream.h"

#endif // ZORVADIDERUVOVOZOV_H
