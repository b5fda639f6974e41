// The dates of the page: entered and shown in the browser's time zone, as
// the datetime-local inputs write them ("YYYY-MM-DDTHH:MM"), and stored as
// GeneralizedTime in UTC. Zones come from the system's tz database through
// date/tz.h, which is safe in threads (no TZ, no mktime).
#pragma once

#include <string>
#include <string_view>

namespace date {
class time_zone;
}

// The zone of an IANA name; the server's own zone for an empty name (UTC
// when it has none that the database knows); null for an unknown name.
const date::time_zone* zone_named(std::string_view name);

// The name of zone.
std::string zone_name(const date::time_zone& zone);

// The UTC instant of local, a local time "YYYY-MM-DDTHH:MM" in zone, as
// GeneralizedTime "YYYYMMDDHHMMSSZ"; empty when local is no such time (its
// form, or a field out of range). A time that the clocks skip when they
// change is moved on by the length of the skip (02:30 on a day that goes
// from 02:00 to 03:00 is 03:30); one they pass twice is the earlier of its
// two instants.
std::string local_to_generalized(std::string_view local, const date::time_zone& zone);

// What local_to_generalized makes of local when the clocks skip it in zone,
// in the words the page shows beside the field: "02:30 does not exist on
// 29 March; saved as 03:30". Empty for a time that exists (or is no time).
std::string skipped_time_note(std::string_view local, const date::time_zone& zone);

// The GeneralizedTime value stored, as "YYYY-MM-DDTHH:MM" in zone; empty
// when it is no GeneralizedTime value or has no such local time.
std::string generalized_to_local(std::string_view stored, const date::time_zone& zone);

// The instant seconds (since the epoch) as "YYYY-MM-DD HH:MM" in zone;
// empty when its year there is outside 1..9999.
std::string seconds_to_local(long long seconds, const date::time_zone& zone);
