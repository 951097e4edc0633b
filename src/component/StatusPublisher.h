// The only writer of the status object: each job's record, as one step per
// lock, so that a host polling between Lock and Unlock never sees half of a
// step.
#pragma once

#include <atomic>
#include <cstdint>

#include "component/DataCenterQuery.h"
#include "component/DetachableStatus.h"
#include "component/ResponseChecks.h"
#include "rimo/RimoData.h"
#include "xml/TcResponseXml.h"

namespace rimo::component {

class StatusPublisher {
 public:
  // The status object is not owned and must outlive this object.
  explicit StatusPublisher(DetachableStatus* status) : status_(status) {}
  // A part in the busy count left behind (a worker that never let go) is
  // given up; the host's object is not called.
  ~StatusPublisher();
  // The object was let go of: its part in the busy count is given up now,
  // so that the others on the status object let busy fall when they end.
  void Detached();
  StatusPublisher(const StatusPublisher&) = delete;
  StatusPublisher& operator=(const StatusPublisher&) = delete;

  // Busy stays raised while a job runs on the host's status object, whichever
  // component object runs it: raised by the first, let go by the last. Each
  // clean record a job starts from resets everything else, never busy.
  void SetBusy(bool busy);

  // A query's start: the whole record reset, nothing of an earlier job left
  // to be taken for this one's, and the query's start state.
  void StartQuery();
  // What the query ended with, the response bytes included.
  void QueryEnded(const QueryResult& result);
  // A user ID that cannot be used ends like a failed query.
  void RefusedUserId();

  // A path that cannot be used ends like a file that cannot be opened.
  void RefusedPath();

  // A file load's steps.
  void FileLoadStarted();
  void FileNotOpened();
  void ResetRecord();
  void VerificationFailed();

  // Publishes a parsed, verified response: certificates, flags, serials and
  // the published state; a container that cannot be read publishes nothing
  // and is false.
  bool Publish(xml::CTcResponseXml& response, ResponseChecks& checks);
  // A received response that could not be published after all (the host's
  // list refused it): the query's record is taken back to "no result".
  void NotPublished();

 private:
  // The status object's reset, with busy kept as the job set it. Called
  // with the status lock held.
  void ResetKeepingBusy();

  DetachableStatus* status_;
  std::atomic<bool> busy_{false};  // this publisher's part in the busy count
};

}  // namespace rimo::component
