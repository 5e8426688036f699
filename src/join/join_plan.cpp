#include "join/join_plan.h"

#include "command_text.h"
#include "commands/formatters.h"
#include "full_path.h"
#include "commands/pause.h"
#include "delivery/delivery.h"
#include "front/run_settings.h"
#include "join/progress.h"

#include <algorithm>
#include <cstdio>
#include <set>

static bool HasControlCharacter(const std::string& text)
{
    for (unsigned char c : text) {
        if (c < 0x20 || c == 0x7f)
            return true;
    }
    return false;
}

static bool Refuse(const std::string& name, const char* reason)
{
    std::fprintf(stderr, "docjoin: %s: %s\n", PrintableName(name).c_str(), reason);
    return false;
}

// Resolves one name and checks that it can stand in a command.
static bool ResolveName(const char* name, std::string& path)
{
    if (HasControlCharacter(name))
        return Refuse(name, "the name holds a control character");
    if (!FullPath(path, name))
        return Refuse(name, "the full path cannot be resolved or is too long");
    if (HasControlCharacter(path))
        return Refuse(name, "the full path holds a control character");
    return true;
}

bool ResolveJoin(int argc, char** argv, const char* outputName, JoinPaths& paths)
{
    paths = JoinPaths();
    if (!ResolveName(outputName, paths.output))
        return false;
    for (int i = 1; i < argc; ++i) {
        std::string input;
        if (!ResolveName(argv[i], input))
            return false;
        std::size_t longest;
        if (i == 1) {
            longest = DocSaveAsText(input, paths.output).size();
        } else {
            std::string intermediate = input + ".pdf";
            longest = std::max(DocSaveAsText(input, intermediate).size(),
                               DocInsertPagesText(paths.output, intermediate).size());
            paths.intermediates.push_back(intermediate);
        }
        if (longest > CommandLimit)
            return Refuse(argv[i], "its commands would be longer than 1023 characters");
        paths.inputs.push_back(input);
        paths.names.push_back(argv[i]);
    }
    return true;
}

bool CheckJoinTargets(const JoinPaths& paths)
{
    // Every name and every file the join reads or writes, each looked up once.
    std::string outputKey = FileKey(paths.output);
    std::set<std::string> inputNames, inputKeys;
    std::vector<std::string> keys;
    for (const std::string& input : paths.inputs) {
        inputNames.insert(input);
        keys.push_back(FileKey(input));
        if (!keys.back().empty())
            inputKeys.insert(keys.back());
    }
    auto isOutput = [&](const std::string& path, const std::string& key) {
        return path == paths.output || (!key.empty() && key == outputKey);
    };
    for (std::size_t i = 1; i < paths.inputs.size(); ++i) {
        if (isOutput(paths.inputs[i], keys[i]))
            return Refuse(paths.inputs[i], "is also the output, which the join overwrites");
    }
    for (const std::string& intermediate : paths.intermediates) {
        std::string key = FileKey(intermediate);
        if (isOutput(intermediate, key))
            return Refuse(intermediate, "an intermediate PDF would overwrite the output");
        if (inputNames.count(intermediate) || (!key.empty() && inputKeys.count(key)))
            return Refuse(intermediate, "an intermediate PDF would overwrite an input");
        if (PathExists(intermediate))
            return Refuse(intermediate, "already exists, and the join would replace and delete it");
    }
    return true;
}

void JoinFiles(const JoinPaths& paths)
{
    // Only a live join takes long enough to watch.
    ProgressBegin(paths.inputs.size(), RunSettings.Verbose || RunSettings.StoreMode);
    ProgressStep(1, paths.names.front());
    const std::string& first = paths.inputs.front();
    DocOpen(first);
    DocSaveAs(first, paths.output);
    DocClose(first);
    DocOpen(paths.output);

    for (std::size_t i = 1; i < paths.inputs.size(); ++i) {
        const std::string& current = paths.inputs[i];
        const std::string& intermediate = paths.intermediates[i - 1];
        ProgressStep(i + 1, paths.names[i]);
        DocOpen(current);
        DocSaveAs(current, intermediate);
        DocClose(current);
        DocInsertPages(paths.output, intermediate);
        DocClose(intermediate);
        // A stored plan removes nothing: no intermediate was written, and a file
        // of that name is the user's.
        if (!RunSettings.StoreMode) {
            DdeWaitForAnswers();
            std::remove(intermediate.c_str());
        }
    }

    PauseMilliseconds(1000);
    DocSave(paths.output);
    DocClose(paths.output);
    ProgressEnd();
}
