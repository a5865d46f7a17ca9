#include "shell/change_dir.h"

#include <cstdint>
#include <limits>
#include <optional>
#include <unordered_set>

#include "api/ips_objects.h"
#include "api/server_calls.h"
#include "core/error.h"
#include "shell/object_argument.h"
#include "text/arguments.h"
#include "text/inert.h"

namespace velmar::shell {

namespace {

// The ID the target text names; nothing after writing why not.
std::optional<std::int32_t> TargetID(telnet::Session& session, const std::u16string& destination) {
  if (destination == u"..") {
    if (session.currentDir == 0) return 0;  // the root has nothing above it
    return api::IPSObject(api::IPS_GetObject(session.currentDir)).Parent();
  }
  if (destination == u"\\" || destination == u"0") return 0;
  const auto id =
      ResolveObjectArgument(destination, session.currentDir, api::IPS_GetObjectIDByName);
  if (!id || !api::IPS_ObjectExists(*id)) {
    session.Fail(u"Object not found: " + destination);
    return std::nullopt;
  }
  return id;
}

// The names from the root down to `record`, joined by backslashes, each made inert: the path
// becomes the prompt.
std::u16string PathOf(api::IPSObject record) {
  std::u16string path = text::Inert(record.Name());
  // A parent chain that runs in a circle, or one that a broken server makes up without end,
  // would otherwise be followed for ever.
  std::unordered_set<std::int32_t> seen{record.ID()};
  std::size_t levels = 0;
  while (record.ID() != 0) {
    if (++levels > kMaxPathLevels) {
      throw Error("The parents of object #" + std::to_string(record.ID()) + " go more than " +
                  std::to_string(kMaxPathLevels) + " levels deep");
    }
    record = api::IPSObject(api::IPS_GetObject(record.Parent()));
    if (!seen.insert(record.ID()).second) {
      throw Error("The parents of object #" + std::to_string(record.ID()) + " form a circle");
    }
    path = text::Inert(record.Name()) + u"\\" + path;
  }
  return path;
}

bool FitsCurrentDir(std::int32_t id) {
  return id >= 0 && id <= std::numeric_limits<std::uint16_t>::max();
}

}  // namespace

std::optional<std::int32_t> DestinationID(telnet::Session& session,
                                          const std::u16string& destination) {
  return TargetID(session, destination);
}

void ChangeDir(telnet::Session& session, const std::u16string& command) {
  const std::u16string upper = text::UpperCase(command);
  std::u16string destination;
  if (upper == u"CD..") {
    destination = u"..";
  } else if (upper == u"CD\\") {
    destination = u"\\";
  } else {
    destination = text::GetObjectFromCommandline(command);
  }

  const auto destinationID = TargetID(session, destination);
  if (!destinationID) return;

  api::IPSObject record(api::IPS_GetObject(*destinationID));
  std::int32_t newDir = *destinationID;
  if (record.ObjectType() == api::IPSObjectType::otLink) {
    const api::IPSLink link(api::IPS_GetLink(record.ID()));
    newDir = link.Target();
    record = api::IPSObject(api::IPS_GetObject(link.Target()));
  } else if (!record.HasChildren()) {
    session.Fail(u"Can not switch to " + destination + u". Object has no children.");
    return;
  }
  // The current category holds 16 bits; a larger ID would silently become another object.
  if (!FitsCurrentDir(newDir)) {
    session.Fail(u"Can not switch to " + destination + u". Object ID " + text::IntToStr(newDir) +
                 u" is out of range.");
    return;
  }

  std::u16string path = PathOf(record);
  session.currentDir = static_cast<std::uint16_t>(newDir);
  session.prompt = std::move(path);
}

}  // namespace velmar::shell
