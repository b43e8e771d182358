#include "tools/pack/cli/json_documents.h"

#include "tools/pack/try/judge_start.h"

namespace korvanthelm::pack::cli {
namespace {

void WriteDigests(JsonWriter& json, const ExecutableDigests& digests) {
    json.Key("package_digest").String(digests.package);
    json.Key("launcher_exe_digest").String(digests.launcher_exe);
    json.Key("launcher_jar_digest").String(digests.launcher_jar);
}

void WriteStrings(JsonWriter& json, const std::vector<std::string>& texts) {
    json.BeginArray();
    for (const std::string& text : texts) {
        json.String(text);
    }
    json.EndArray();
}

void WritePrograms(JsonWriter& json, const PackagePrograms& programs) {
    json.Key("pe_files").BeginObject().Key("count").Number(programs.count);
    json.Key("signed");
    WriteStrings(json, programs.signed_paths);
    json.Key("unsigned");
    WriteStrings(json, programs.unsigned_paths);
    json.EndObject();
}

// "valid": the file is exactly what was signed; "changed_after_signing": its
// digest is not the signed one; "does_not_verify": the signature over the
// digest fails with the signer's certificate.
const char* SignatureState(const AuthenticodeSignature& signature) {
    if (!signature.signature_valid) {
        return "does_not_verify";
    }
    return signature.Matches() ? "valid" : "changed_after_signing";
}

// `timestamp`: the time of the signature's RFC 3161 timestamp, when it has one.
void WriteSignature(JsonWriter& json, const std::optional<AuthenticodeSignature>& signature,
                    const std::optional<std::string>& timestamp = std::nullopt) {
    json.Key("signed").Bool(signature.has_value());
    json.Key("signature");
    if (!signature) {
        json.Null();
        return;
    }
    json.BeginObject();
    // A certificate that does not verify names nobody.
    json.Key("signer");
    if (signature->certificate_intact) {
        json.String(signature->signer);
    } else {
        json.Null();
    }
    json.Key("digest_algorithm").String(signature->digest_algorithm);
    json.Key("state").String(SignatureState(*signature));
    // Only the Windows packer can say (the system's trust check): the key is
    // left out where nothing was asked, so the Linux documents stay as they are.
    if (signature->chains_to_trusted_root) {
        json.Key("trusted_root").Bool(*signature->chains_to_trusted_root);
    }
    json.Key("timestamp");
    if (timestamp) {
        json.String(*timestamp);
    } else {
        json.Null();
    }
    json.EndObject();
}

void WritePackageFigures(JsonWriter& json, const CheckedPackage& checked) {
    json.Key("entry_count").Number(checked.entries.size());
    json.Key("unpacked_size").Number(checked.table_size);
    json.Key("package_size").Number(checked.package.size());
}

// The try document's parts: try is a Linux feature (it starts Wine), so the
// Windows packer builds none of it.
#ifndef _WIN32
void WriteOptionalText(JsonWriter& json, const std::optional<std::string>& text) {
    if (text) {
        json.String(*text);
    } else {
        json.Null();
    }
}

void WriteOptionalCode(JsonWriter& json, const std::optional<std::uint32_t>& code) {
    if (code) {
        json.Number(*code);
    } else {
        json.Null();
    }
}

void WriteStart(JsonWriter& json, const StartVerdict& start) {
    json.BeginObject().Key("name").String(start.start.name).Key("ran").Bool(start.ran);
    json.Key("timed_out").Bool(start.outcome.timed_out);
    json.Key("exit_code");
    WriteOptionalCode(json, start.outcome.exit_code);
    json.Key("wall_ms").Number(static_cast<std::uint64_t>(start.outcome.wall.count()));
    json.Key("message_boxes").BeginArray();
    for (const MessageBoxSeen& box : start.outcome.boxes) {
        json.BeginObject().Key("caption").String(box.caption).Key("text").String(box.text);
        json.EndObject();
    }
    json.EndArray().Key("setup_program");
    if (start.setup) {
        json.BeginObject().Key("arguments").String(start.setup_arguments).Key("exit_code");
        WriteOptionalCode(json, start.setup->exit_code);
        json.EndObject();
    } else {
        json.Null();
    }
    json.Key("handed_over_to");
    WriteOptionalText(
        json, start.launcher ? std::optional<std::string>(ProgramOf(start.launcher->command_line))
                             : std::nullopt);
    json.Key("crashes").BeginArray();
    for (const StartedProcess& process : start.outcome.processes) {
        if (process.crash) {
            json.BeginObject().Key("command_line").String(process.command_line);
            json.Key("exception_code").Number(*process.crash).EndObject();
        }
    }
    json.EndArray().Key("outlived");
    WriteStrings(json, start.outlived);
    json.Key("work_directory").String(start.ran ? WorkDirectoryState(start) : "none");
    json.Key("faults");
    WriteStrings(json, start.faults);
    json.EndObject();
}

void WriteContract(JsonWriter& json, const std::optional<SetupContract>& contract) {
    if (!contract) {
        json.Null();
        return;
    }
    json.BeginObject().Key("launcher_record");
    WriteOptionalText(json, contract->record);
    json.Key("launcher_exe_digest");
    WriteOptionalText(json, contract->exe_digest);
    json.Key("launcher_jar_digest");
    WriteOptionalText(json, contract->jar_digest);
    json.Key("launcher_build");
    WriteOptionalText(json, contract->build_mark);
    json.Key("problems");
    WriteStrings(json, contract->problems);
    json.EndObject();
}
#endif

}  // namespace

JsonWriter PackDocument(const PackOptions& options, const PackResult& result,
                        const CommandReport& report) {
    JsonWriter json;
    json.BeginObject().Key("command").String("pack");
    json.Key("package_file").String(options.output);
    WriteDigests(json,
                 {result.package_digest, result.launcher_exe_digest, result.launcher_jar_digest});
    json.Key("entry_count").Number(result.entry_count);
    json.Key("unpacked_size").Number(result.table_size);
    json.Key("package_size").Number(result.package_size);
    report.WriteWarnings(json);
    json.EndObject();
    return json;
}

JsonWriter BuildDocument(const BuildOptions& options, const BuildResult& result,
                         const CommandReport& report) {
    JsonWriter json;
    json.BeginObject().Key("command").String("build");
    json.Key("exe_file").String(options.pack.output);
    json.Key("exe_size").Number(result.exe_size);
    WriteDigests(json, result.digests);
    json.Key("verified").Bool(result.verified);
    json.Key("package_size").Number(result.package_size);
    if (result.verified) {
        json.Key("entry_count").Number(result.entry_count);
        json.Key("unpacked_size").Number(result.table_size);
        WritePrograms(json, result.programs);
    } else {
        json.Key("entry_count").Null().Key("unpacked_size").Null().Key("pe_files").Null();
    }
    WriteSignature(json, result.signature);
    report.WriteWarnings(json);
    json.EndObject();
    return json;
}

JsonWriter ListDocument(const std::string& path, const ExaminedPackage& package,
                        const CommandReport& report) {
    const CheckedPackage& checked = package.checked;
    JsonWriter json;
    json.BeginObject().Key("command").String("list");
    json.Key("file").String(path);
    json.Key("package_digest").String(checked.digest);
    WritePackageFigures(json, checked);
    json.Key("entries").BeginArray();
    for (const PackageEntrySummary& entry : checked.entries) {
        json.BeginObject().Key("path").String(entry.path).Key("size").Number(entry.size);
        json.EndObject();
    }
    json.EndArray();
    report.WriteWarnings(json);
    json.EndObject();
    return json;
}

JsonWriter VerifyDocument(const std::string& path, const VerifiedFile& verified,
                          const std::string& tree, const CommandReport& report) {
    JsonWriter json;
    json.BeginObject().Key("command").String("verify");
    json.Key("file").String(path);
    json.Key("ok").Bool(verified.signature_refusal.empty());
    json.Key("refusal");
    if (verified.signature_refusal.empty()) {
        json.Null();
    } else {
        json.String(verified.signature_refusal);
    }
    json.Key("file_kind").String(verified.is_executable ? "executable" : "package");
    // "stub_and_package": byte for byte the stub of the version its slot
    // names, with its package;
    // "structure": made by another version, only its structure checked.
    json.Key("made_by");
    if (verified.is_executable && verified.package) {
        json.String(verified.made_by);
        json.Key("executable_check").String(verified.proven ? "stub_and_package" : "structure");
    } else {
        json.Null().Key("executable_check").Null();
    }
    if (verified.package) {
        const CheckedPackage& checked = verified.package->checked;
        if (verified.slot) {
            WriteDigests(json, verified.slot->digests);
        } else {
            // A package file carries no launcher digests; the exe built from it will.
            json.Key("package_digest").String(checked.digest);
            json.Key("launcher_exe_digest").Null().Key("launcher_jar_digest").Null();
        }
        WritePackageFigures(json, checked);
        WritePrograms(json, checked.programs);
    } else {
        for (const char* key : {"package_digest", "launcher_exe_digest", "launcher_jar_digest",
                                "entry_count", "unpacked_size", "package_size", "pe_files"}) {
            json.Key(key).Null();
        }
    }
    WriteSignature(json, verified.signature, verified.timestamp);
    json.Key("made_from_tree");
    if (tree.empty()) {
        json.Null();
    } else {
        json.String(tree);
    }
    report.WriteWarnings(json);
    json.EndObject();
    return json;
}

#ifndef _WIN32
JsonWriter TryDocument(const TryResult& result, const CommandReport& report) {
    JsonWriter json;
    json.BeginObject().Key("command").String("try").Key("file").String(result.exe);
    json.Key("ok").Bool(result.ok).Key("wine").String(result.wine_version);
    json.Key("timeout_seconds").Number(static_cast<std::uint64_t>(result.timeout.count()));
    json.Key("kept");
    WriteOptionalText(json, result.kept);
    WriteDigests(json, result.digests);
    json.Key("starts").BeginArray();
    for (const StartVerdict& start : result.starts) {
        WriteStart(json, start);
    }
    json.EndArray().Key("setup_side");
    WriteContract(json, result.contract);
    json.Key("outside_world");
    WriteStrings(json, result.outside_world);
    // Unknown when the second start did not run.
    json.Key("second_start");
    WriteOptionalText(json, result.second_road.empty()
                                ? std::nullopt
                                : std::optional<std::string>(result.second_road));
    report.WriteWarnings(json);
    json.EndObject();
    return json;
}
#endif

}  // namespace korvanthelm::pack::cli
