// dir_response.h: the folder branch of the handler: the HTML index page, or with format=json
// one page of the JSON listing (cursor, limit).
#pragma once

#include <atomic>
#include <memory>

#include "server/http.h"

struct opened_target;

// Answers REQ for the opened FOLDER, named ROOT_NAME/REL in the request; the folder is read
// from where it stands. true when the answer was sent whole (the connection may go on), false
// when a send failed.
bool serve_folder(const http_reply& r, const http_request& req, const char* root_name,
                  const char* rel, std::unique_ptr<opened_target> folder);

// How many compressed output blocks of at most 64 KiB a gzip'd page may be held in (16, at most
// 16); a page that needs more is compressed a second time while it is sent. Tests lower it to
// reach that path with a small folder.
extern std::atomic<int> gzip_hold_blocks;
