#include "lumo/tasks/DeleteScreencastTask.h"

#include <utility>

namespace lumo {

std::shared_ptr<DeleteScreencastTask> DeleteScreencastTask::make(
    const Screencast& screencast, ShareURLHelperService& shareURLHelper) {
  std::optional<Url> video = shareURLHelper.generateShareURL(screencast);
  if (!video) return nullptr;
  std::optional<Url> thumbnail = shareURLHelper.generateThumbnailShareURL(screencast);
  std::optional<Url> html = shareURLHelper.generateHTMLShareURL(screencast);
  if (!thumbnail || !html) return nullptr;
  std::vector<DeleteTaskComponents> componentsArray{
      {video->lastPathComponent()},
      {thumbnail->lastPathComponent()},
      {html->lastPathComponent()},
  };
  return std::make_shared<DeleteScreencastTask>(PrivateTag{}, screencast,
                                                std::move(componentsArray));
}

DeleteScreencastTask::DeleteScreencastTask(PrivateTag, const Screencast& screencast,
                                           std::vector<DeleteTaskComponents> componentsArray)
    : DeleteMultipleFilesTask(std::move(componentsArray)), screencast_(screencast) {}

}  // namespace lumo
