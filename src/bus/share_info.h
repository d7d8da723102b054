// Share-information notice to the web_media service, carried on the bus.
#pragma once

// Handler of a control request carrying an "action" member; libcloud gets no answer.
int reload_share_info();
