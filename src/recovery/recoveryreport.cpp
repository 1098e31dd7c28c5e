// The HTML report of chosen items: one table, a row per file, a section per folder. The file says
// it is UTF-8 HTML, so browsers show names in any script. Every text put into it is escaped:
// names and identifiers come from a disk, and a title or footer holding "&" or "<" would otherwise
// make the file malformed; control characters and bytes that are no UTF-8 become U+FFFD.
#include "recovery.h"

#include "machelpers.h"
#include "utils.h"

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>

namespace {
// Folders nested deeper than this are not listed: no real tree is that deep, a looping catalog is.
constexpr size_t kMaxReportDepth = 1024;
// The report is written in pieces of this size, a progress event due between two.
constexpr size_t kReportWritePiece = 1 << 20;

// The localized heading with the (escaped) folder name in place of its first "%s". The text comes
// from a resource file and is never used as a printf format.
std::string fillHeading(const std::string& format, const std::string& value)
{
    const size_t at = format.find("%s");
    if (at == std::string::npos)
        return format + " " + value;
    return format.substr(0, at) + value + format.substr(at + 2);
}
} // namespace

std::string htmlEscape(const std::string& text)
{
    static const char kReplacement[] = "\xEF\xBF\xBD"; // U+FFFD
    std::string escaped;
    escaped.reserve(text.size());
    const size_t size = text.size();
    for (size_t i = 0; i < size;) {
        const uint8_t lead = uint8_t(text[i]);
        if (lead < 0x80) {
            switch (lead) {
            case '&': escaped += "&amp;"; break;
            case '<': escaped += "&lt;"; break;
            case '>': escaped += "&gt;"; break;
            case '"': escaped += "&quot;"; break;
            case '\'': escaped += "&#39;"; break;
            default: escaped += (lead < 0x20 || lead == 0x7F) ? kReplacement : std::string(1, char(lead)); break;
            }
            ++i;
            continue;
        }
        // A multi-byte character: its length from the lead byte, then continuation bytes only, in
        // the shortest form, no surrogate, at most U+10FFFF.
        const size_t length = lead >= 0xF8 ? 0 : lead >= 0xF0 ? 4 : lead >= 0xE0 ? 3 : lead >= 0xC0 ? 2 : 0;
        uint32_t code = length == 4 ? lead & 0x07u : length == 3 ? lead & 0x0Fu : lead & 0x1Fu;
        bool valid = length > 0 && i + length <= size;
        for (size_t k = 1; valid && k < length; ++k) {
            const uint8_t next = uint8_t(text[i + k]);
            valid = (next & 0xC0) == 0x80;
            code = (code << 6) | (next & 0x3Fu);
        }
        static const uint32_t kSmallest[] = {0, 0, 0x80, 0x800, 0x10000};
        valid = valid && code >= kSmallest[length] && code <= 0x10FFFF && (code < 0xD800 || code > 0xDFFF);
        if (!valid) {
            escaped += kReplacement;
            ++i;
            continue;
        }
        // C1 controls and the noncharacters U+FFFE and U+FFFF have no place in a document.
        const bool shown = !(code >= 0x80 && code <= 0x9F) && code != 0xFFFE && code != 0xFFFF;
        escaped += shown ? text.substr(i, length) : kReplacement;
        i += length;
    }
    return escaped;
}

bool CRecovery::saveReport(const std::vector<CVolumeItem*>& items, const std::string& path, const std::string& title,
                           const std::string& footer)
{
    std::printf("CRecovery::saveReport\n");
    beginOperation();
    progress = 0;
    walkPath.clear();
    reportCancelled = false;
    reportProgress(true);
    // The table's text is set smaller by its style: a table may not stand inside <small>.
    const std::string escapedTitle = htmlEscape(title);
    std::string html = "<!DOCTYPE html><html><head><meta charset=\"utf-8\"><title>" + escapedTitle +
                       "</title></head><body><h1>" + escapedTitle + "</h1><table border='0' style='font-size:smaller'>";
    const size_t count = items.size();
    for (size_t i = 0; i < count && !reportCancelled; ++i) {
        writeReportItem(items[i], html);
        progress = 100.0 * double(float(i) / float(count));
    }
    if (reportCancelled) {
        std::printf("CRecovery::saveReport - cancelled, nothing written\n");
        return false;
    }
    html += "</table><br>";
    html += "<small>" + htmlEscape(footer) + "</small></body></html>";

    std::FILE* file = std::fopen(path.c_str(), "w");
    if (!file) {
        std::printf("CRecovery::saveReport - error: cannot open %s: %s\n", path.c_str(), std::strerror(errno));
        return false;
    }
    // Tens of megabytes for a large tree: written in pieces with the progress sheet answered in
    // between. The file is written whole once begun; a Cancel now comes too late to matter.
    bool written = true;
    int writeErrno = 0;
    for (size_t done = 0; written && done < html.size(); done += kReportWritePiece) {
        const size_t piece = std::min(kReportWritePiece, html.size() - done);
        written = std::fwrite(html.data() + done, 1, piece, file) == piece;
        writeErrno = errno;
        reportProgress();
    }
    const bool closed = std::fclose(file) == 0;
    if (!written || !closed) {
        std::printf("CRecovery::saveReport - error writing %s: %s\n", path.c_str(),
                    std::strerror(written ? errno : writeErrno));
        return false;
    }
    return true;
}

void CRecovery::reportProgress(bool now)
{
    if (!listener || !(now || reportPace.due()))
        return;
    bool cancel = false;
    listener->progressEvent(progress, &cancel);
    // The interval counts from the end of the event, which may have run the interface a while.
    reportPace.restart();
    if (cancel)
        reportCancelled = true;
}

void CRecovery::writeReportItem(CVolumeItem* item, std::string& html)
{
    reportProgress();
    if (!item || reportCancelled)
        return;
    if (item->isContainer()) {
        if (walkPath.count(item) || walkPath.size() >= kMaxReportDepth) {
            std::printf("CRecovery::writeReportItem - error: folder %s lies inside itself or too deep, not listed\n",
                        item->getName().c_str());
            return;
        }
        if (item->getChildCount(true) == 0)
            item->addChildren();
        html += "<tr><td><b>";
        html += fillHeading(localize("ContentOfFolder"), htmlEscape(item->getName()));
        html += "</b></td></tr>";
        html += "<tr><td>" + localize("Name") + "</td><td>" + localize("Size") + "</td><td>" + localize("Type") +
                "</td><td>" + localize("DateModified") + "</td><td>" + localize("ID") + "</td></tr>";
        walkPath.insert(item);
        // The search folder lists items of the volume a second time: it is no part of it.
        for (int i = 0; i < item->getChildCount(true) && !reportCancelled; ++i)
            if (CVolumeItem* child = item->getChild(i, true); child != searchFolder)
                writeReportItem(child, html);
        walkPath.erase(item);
        html += "<tr><td></td><td></td><td></td><td></td><td></td></tr>";
        return;
    }
    const uint32_t date = item->getDate();
    const std::string size = itemSizeText(item);
    const std::string type = item->isDamaged() ? htmlEscape(localize("File (damaged)")) : std::string("File");
    html += "<tr> <td><small>" + htmlEscape(item->getName()) + "</small></td><td><small>" + htmlEscape(size) +
            "</small></td><td><small>" + type + "</small></td><td><small>" +
            (date == 0 ? std::string("n/a") : formatDate(date)) + "</small></td><td><small>" +
            htmlEscape(item->getIdString()) + "</small></td> </tr>";
}
