// The demo's output in its two forms.
#include "demo_report.h"

#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <vector>

namespace qzo::tool {
namespace {

std::string JsonText(const std::string& text) {
    std::string out = "\"";
    for (char c : text) {
        if (c == '"' || c == '\\') out += '\\';
        if (static_cast<unsigned char>(c) < 0x20) {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\u%04x", c);
            out += escaped;
            continue;
        }
        out += c;
    }
    return out + "\"";
}

std::string Grouped(uint64_t value) {
    std::string digits = std::to_string(value), out;
    for (size_t i = 0; i < digits.size(); ++i) {
        if (i && (digits.size() - i) % 3 == 0) out += ',';
        out += digits[i];
    }
    return out;
}

std::vector<std::string> FolderEntries(const std::string& folder) {
    std::vector<std::string> names;
    std::error_code error;
    for (std::filesystem::directory_iterator it(folder, error), end; !error && it != end;
         it.increment(error))
        names.push_back(it->path().filename().string() + (it->is_directory() ? "/" : ""));
    std::sort(names.begin(), names.end());
    return names;
}

}  // namespace

void DemoReport::Intro(const std::string& folder, int steps) {
    folder_ = folder;
    if (json_) {
        std::printf("{\"event\":\"start\",\"pid\":%ld,\"folder\":%s,\"edits\":%d}\n",
                    long(getpid()), JsonText(folder).c_str(), steps);
        return;
    }
    std::printf(
        "qzo demo: the road of one object through the object store\n"
        "(a clip of the sample driver's class, %d edits, in %s)\n",
        steps, folder.c_str());
}

void DemoReport::Project(const std::string& folder, DWORD projectID) {
    const std::vector<std::string> entries = FolderEntries(folder);
    if (json_) {
        std::string list;
        for (const std::string& name : entries) list += (list.empty() ? "" : ",") + JsonText(name);
        std::printf(
            "{\"event\":\"project\",\"folder\":%s,\"project_id\":\"%08X\",\"files\":[%s]}\n",
            JsonText(folder).c_str(), projectID, list.c_str());
        return;
    }
    std::printf("\n%d. Register the project folder and make it the working project\n", ++step_);
    std::printf("   project ID %08X (the hash of the folder's path); the folder now holds:\n  ",
                projectID);
    for (const std::string& name : entries) std::printf(" %s", name.c_str());
    std::printf("\n");
}

void DemoReport::Driver(const char* className, DWORD hashID) {
    if (json_) {
        std::printf("{\"event\":\"driver\",\"class\":%s,\"hash_id\":\"%08X\"}\n",
                    JsonText(className).c_str(), hashID);
        return;
    }
    std::printf("\n%d. Load the sample driver from the registry's driver folder\n", ++step_);
    std::printf("   class %s registered, hash ID %08X: its objects go to OBJ/%08X/\n", className,
                hashID, hashID);
}

void DemoReport::Step(const char* kind, const std::string& title) {
    kind_ = kind;
    if (json_) return;
    std::printf("\n%d. %s\n", ++step_, title.c_str());
}

void DemoReport::State(const std::string& path, uint64_t fileLength, const ClipFacts& clip,
                       const HistoryView& history) {
    std::string shown = path;
    if (shown.rfind(folder_, 0) == 0) shown = shown.substr(folder_.size());
    const std::vector<SlotView> listed = history.Listed();
    if (json_) {
        std::string slots;
        for (const SlotView& slot : listed) {
            char entry[160];
            std::snprintf(entry, sizeof entry,
                          "{\"slot\":%u,\"modify_cnt\":%u,\"offset\":%u,\"bytes\":%u,"
                          "\"current\":%s,\"comment\":",
                          slot.slot, slot.modifyCnt, slot.offset, slot.end - slot.offset,
                          slot.slot == history.current ? "true" : "false");
            slots += (slots.empty() ? "" : ",") + std::string(entry) + JsonText(slot.comment) + "}";
        }
        std::printf(
            "{\"event\":%s,\"file\":%s,\"file_size\":%llu,\"version\":%u,\"frames\":%u,"
            "\"markers\":%u,\"history\":[%s]}\n",
            JsonText(kind_).c_str(), JsonText(shown).c_str(), (unsigned long long)fileLength,
            clip.version, clip.frames, clip.markers, slots.c_str());
        return;
    }
    std::printf("   clip: version %u, frames %u, markers %u\n", clip.version, clip.frames,
                clip.markers);
    std::printf("   file: %s, %s bytes", shown.c_str(), Grouped(fileLength).c_str());
    if (fileLength > history.dataEnd)
        std::printf(" (data end %s, then the writer's access record)",
                    Grouped(history.dataEnd).c_str());
    std::printf("\n");
    std::printf("     slot  ModifyCnt  bytes  comment\n");
    for (const SlotView& slot : listed)
        std::printf("   %c %-4u  %-9u  %-5u  %s\n", slot.slot == history.current ? '*' : ' ',
                    slot.slot, slot.modifyCnt, slot.end - slot.offset, slot.comment.c_str());
}

void DemoReport::SecondProcess(long pid, const ClipFacts& clip) {
    if (json_) {
        std::printf(
            "{\"event\":\"second-process\",\"pid\":%ld,\"version\":%u,\"frames\":%u,"
            "\"markers\":%u}\n",
            pid, clip.version, clip.frames, clip.markers);
        return;
    }
    std::printf("   process %ld restored the clip: version %u, frames %u, markers %u\n", pid,
                clip.version, clip.frames, clip.markers);
}

void DemoReport::Failure(const std::string& what) {
    std::fflush(stdout);
    if (json_) std::printf("{\"event\":\"error\",\"what\":%s}\n", JsonText(what).c_str());
    std::fprintf(stderr, "qzo demo: cannot %s\n", what.c_str());
}

void DemoReport::End(const std::string& kept) {
    if (json_) {
        std::printf("{\"event\":\"end\",\"kept\":%s}\n", JsonText(kept).c_str());
        return;
    }
    if (kept.empty())
        std::printf("\nDone. The temporary project folder was removed (--keep DIR keeps one).\n");
    else
        std::printf(
            "\nDone. The project stays in %s: look inside with `qzo project %s` and "
            "`qzo object <file>`.\n",
            kept.c_str(), kept.c_str());
}

}  // namespace qzo::tool
