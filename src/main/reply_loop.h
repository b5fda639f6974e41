// The reply loop: answers the accepted message on behalf of each receiver.
#pragma once

// Sends the replies for the message in g_mail. Requires the log to be open,
// g_config loaded and g_mail filled by an intake that accepted the message.
void run_replies();
