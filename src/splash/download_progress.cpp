#include "splash/download_progress.h"

#include "splash/progress_text.h"
#include "splash/status.h"

namespace zelk {

void DownloadProgress::operator()(std::uint64_t received) const {
    const std::uint64_t done = doneBytes + received;
    SetStatus(L"Mise à jour ...", FormatDownloadDetail(fileNumber, files.size(), done, totalBytes),
              DownloadFraction(done, totalBytes));
}

}  // namespace zelk
