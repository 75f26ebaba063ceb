// The page of one entry (/entry/ID) and its JSON (/entry/ID.json): what
// the list shows of the entry (its target without secret or query string,
// its schedule, next run and kept state, in the list's own words, see
// engine/watch/status_render.h), and what -l keeps of its history
// (engine/watch/history_rows.h): its uptime, a bar for each of the last 90
// days, its response times a day and an hour over the last 48, both drawn
// by the server as inline SVG, each bar and point titled with its counts,
// and its latest attempts, a page at a time by key. One self-contained
// document like the list: no script, nothing fetched, every text from the
// tables escaped. Pure functions of their arguments: any thread may call
// them at once.
#ifndef JANTOR_ENGINE_WATCH_ENTRY_RENDER_H_
#define JANTOR_ENGINE_WATCH_ENTRY_RENDER_H_

#include <string>

#include "engine/watch/history_rows.h"
#include "engine/watch/status_render.h"

void RenderEntryHtml(const StatusHeader& header, const StatusRow& row, const EntryHistory& history,
                     std::string* out);
void RenderEntryJson(const StatusHeader& header, const StatusRow& row, const EntryHistory& history,
                     std::string* out);

// The link to the page of attempts after (older) or before (newer) key,
// of the page (path "/entry/ID") or its JSON ("/entry/ID.json").
std::string EntryLink(const std::string& path, const char* direction, const StatusKey& key);

#endif  // JANTOR_ENGINE_WATCH_ENTRY_RENDER_H_
