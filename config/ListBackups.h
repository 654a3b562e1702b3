#pragma once
#include <chrono>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

// The generations of the server list: before each rewrite of
// serverinfo.json the file as it was goes into the directory
// serverinfo.json.bak/ beside it, under a name made of the moment of the
// rewrite in UTC ("20261210-115119.123.json"), so that the names sort as the
// generations were made and no clock change renames one. The newest `kept`
// are kept; older ones go as a new one arrives. A list emptied by mistake,
// or many rewrites ago, can so be brought back.
//
// Files of other names in the directory are left alone. A single copy left
// as the file serverinfo.json.bak (as earlier versions kept it) becomes the
// first generation, stamped with its file's time.
class ListBackups {
public:
    static constexpr int kDefaultKept = 20;
    static constexpr int kMostKept = 1000;

    struct Generation {
        int number = 0;  // 1 for the newest
        std::string path;
        std::chrono::system_clock::time_point made;
        // Valid entries (objects with the three texts); -1 when the copy
        // does not read as a list.
        int servers = -1;
    };

    explicit ListBackups(std::string listPath, int kept = kDefaultKept);

    std::string directory() const { return listPath_ + ".bak"; }
    int kept() const { return kept_; }

    // Keeps `bytes`, the list as it was before the rewrite under way, as the
    // newest generation, then lets the oldest beyond `kept` go. `shared`:
    // other users may read the list, and so the copies; otherwise they and
    // the directory are the owner's alone (the entries' variables may hold
    // secrets). False, with the reason, when the copy could not be made.
    bool keep(std::string_view bytes, bool shared, std::string& error) const;

    // The generations, newest first.
    std::vector<Generation> generations() const;

    // The file name of a generation made at `made`.
    static std::string nameAt(std::chrono::system_clock::time_point made);
    // The moment a generation's file name stands for; false for a name that
    // is not one.
    static bool madeAt(const std::string& fileName, std::chrono::system_clock::time_point& made);
    // "2026-12-10 19:51:19" in the local time zone.
    static std::string localTimeText(std::chrono::system_clock::time_point made);
    // The valid entries of a list file's bytes; -1 when they are no list.
    static int serverCount(const std::string& bytes);

private:
    // A copy left by earlier versions as a file where the directory goes.
    bool adoptSingleCopy(bool shared, std::string& error) const;
    bool write(const std::string& name, std::string_view bytes, bool shared, std::string& error) const;
    void prune() const;

    std::string listPath_;
    int kept_;
};
