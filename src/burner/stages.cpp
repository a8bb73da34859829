// The steps of a job that the recording layer supplies itself.
#include "burner/buffer.h"
#include "burner/cdwrite.h"
#include "burner/copy.h"
#include "burner/dvdwrite.h"
#include "burner/erase.h"
#include "burner/jobs.h"
#include "burner/media.h"
#include "burner/verify.h"

namespace {

int CreateBuffer(CBurnJob* job, CImageDocument* document, int32_t sectorSize) {
  CBurnRun* run = job->run;
  run->buffer = BurnBufferCreate(job, document, sectorSize, run->source, run->appendStart);
  return run->buffer ? 1 : 0;
}

void DestroyBuffer(CBurnJob* job) { BurnBufferDestroy(std::move(job->run->buffer)); }

int WriteCdImage(CBurnJob* job) { return job->run->buffer ? BurnJobWriteCdImage(job, job->run->buffer.get()) : 0; }

int WriteDvdImage(CBurnJob* job) {
  return job->run->buffer ? BurnJobWriteDvdImage(job, job->run->buffer.get(), job->mediaType) : 0;
}

}  // namespace

void BurnUseRecorderStages(CBurnRun* run) {
  run->stages.prepareDestination = BurnJobPrepareDestination;
  run->stages.bufferCreate = CreateBuffer;
  run->stages.bufferDestroy = DestroyBuffer;
  run->stages.writeCdImage = WriteCdImage;
  run->stages.writeDvdImage = WriteDvdImage;
  run->stages.eraseMedia = BurnJobEraseMedia;
  run->stages.verifyMedia = BurnJobVerifyMedia;
  run->stages.copyDisc = BurnJobCopyDisc;
  run->stages.releaseCopy = BurnReleaseCopy;
  run->stages.writeCdCopy = BurnJobWriteCdCopy;
}
