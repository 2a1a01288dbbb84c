#include "services/crash/RZRCTRHandler.h"

#include "services/crash/RZRCTRBinaryImage.h"
#include "services/crash/RZRCTRContext.h"
#include "services/crash/RZRCTRHost.h"
#include "services/crash/RZRCTRProcess.h"

void RZRCTRHandler(RZRCTRFile* file, pid_t crashedThread, const ucontext_t* userContext) {
    RZRCTRProcess process;
    RZRCTRProcessInit(&process, crashedThread, userContext);
    RZRCTRProcessSuspendAllOtherThreads(&process);
    RZRCTRBinaryImageSafeReadLoaderList();
    RZRCTRProcessRecordAllThreads(&process, file);
    RZRCTRProcessRecordRuntimeInfo(&process, file);
    RZRCTRProcessRecordDispatchQueueNames(&process, file);
    RZRCTRProcessRecordThreadNames(&process, file);
    RZRCTRProcessRecordStats(&process, file);
    RZRCTRHostRecordStorage(file);
    RZRCTRCreateCrashedMarkerFile();
    RZRCTRBinaryImageSafeEndLoaderList();
    RZRCTRProcessResumeAllOtherThreads(&process);
}
