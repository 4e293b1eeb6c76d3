// dir_response.h: the folder branch of the handler: the HTML index page, or with format=json
// one page of the JSON listing (cursor, limit).
#pragma once

#include "server/http.h"

// Answers REQ for the folder FULL_PATH, named ROOT_NAME/REL in the request. true when the
// answer was sent whole (the connection may go on), false when a send failed.
bool serve_folder(const http_reply& r, const http_request& req, const char* root_name,
                  const char* rel, const char* full_path);
