#include "mail/mail_state.h"

MailState g_mail;
