// The vault record: every byte of a path survives its text, records it cannot read are refused with the
// reason, and setting one on a real file never fails the quarantine.
#include "src/av.hpp"
#include "src/vault_record.hpp"
#include "tests/support/files.hpp"

#include <gtest/gtest.h>

#include <sys/xattr.h>
#include <syslog.h>

#include <string>

namespace {

using zet_test::TempDir;

vault_record sample() {
    vault_record r;
    r.path = "/srv/share/report.doc";
    r.uid = 1000;
    r.user = "alice";
    r.gid = 100;
    r.group = "users";
    r.mode = 0640;
    r.atime = {1700000000, 5};
    r.mtime = {1600000000, 999999999};
    r.size = 68;
    r.sha256 = "275a021bbfb6489e54d471899f7db9d1663fc695ec2fe2a2c4538aabf651fd0f";
    r.findings = {"Eicar-Test-Signature"};
    r.vps = 27000;
    r.quarantined = 1700000100;
    return r;
}

void expect_same(const vault_record& a, const vault_record& b) {
    EXPECT_EQ(a.path, b.path);
    EXPECT_EQ(a.cut, b.cut);
    EXPECT_EQ(a.uid, b.uid);
    EXPECT_EQ(a.user, b.user);
    EXPECT_EQ(a.gid, b.gid);
    EXPECT_EQ(a.group, b.group);
    EXPECT_EQ(a.mode, b.mode);
    EXPECT_EQ(a.atime.tv_sec, b.atime.tv_sec);
    EXPECT_EQ(a.atime.tv_nsec, b.atime.tv_nsec);
    EXPECT_EQ(a.mtime.tv_sec, b.mtime.tv_sec);
    EXPECT_EQ(a.mtime.tv_nsec, b.mtime.tv_nsec);
    EXPECT_EQ(a.size, b.size);
    EXPECT_EQ(a.sha256, b.sha256);
    EXPECT_EQ(a.findings, b.findings);
    EXPECT_EQ(a.vps, b.vps);
    EXPECT_EQ(a.quarantined, b.quarantined);
    EXPECT_EQ(actor_text(a.writer), actor_text(b.writer));
}

TEST(VaultRecord, EveryFieldSurvivesItsText) {
    auto with = [](auto change) {
        vault_record r = sample();
        change(r);
        return r;
    };
    const vault_record rows[] = {
        sample(),
        with([](vault_record& r) { r.path = "/srv/a\tb\nc\rd"; }),
        with([](vault_record& r) { r.path = std::string("/srv/\xff\xfe\xc0\xaf/\x01\x7f\\\"x", 14); }),
        with([](vault_record& r) { r.path = "/srv/\xc3\xbc\\u00e9 \\udcff"; }), // escapes written as text
        with([](vault_record& r) {
            r.user = "4242";
            r.group = "a\tgroup";
            r.mode = 06755;
            r.mtime = {-86400, 1};
            r.findings = {"One", "Two\tparts", "Three"};
            r.vps = 0;
            r.writer = {true, 4242, 1000, "bob", "/usr/bin/c\np", ""};
        }),
        with([](vault_record& r) {
            r.cut = true;
            r.findings.clear();
            r.writer = {true, 7, 0, "root", "/usr/sbin/smbd", "smbd.service"};
        }),
    };
    for (const vault_record& row : rows) {
        SCOPED_TRACE(testing::PrintToString(row.path));
        const std::string text = vault_record_text(row);
        // One field a line, whatever the bytes: the value holds no tab or line feed of its own.
        for (std::size_t at = text.find('\n') + 1; at < text.size(); at = text.find('\n', at) + 1)
            EXPECT_EQ(text.substr(at, text.find('\n', at) - at).find('\t'),
                      text.substr(at, text.find('\n', at) - at).rfind('\t'))
                << text;
        std::string error;
        std::optional<vault_record> back = vault_record_parse(text, &error);
        ASSERT_TRUE(back) << error << "\n" << text;
        expect_same(*back, row);
    }
}

// Records that must not be guessed at; an unknown field of the same format is only skipped.
TEST(VaultRecord, RefusesWhatItCannotRead) {
    const std::string good = vault_record_text(sample());
    auto replaced = [&](const std::string& from, const std::string& to) {
        std::string text = good;
        return text.replace(text.find(from), from.size(), to);
    };
    const struct {
        std::string text, error; // error empty: read
    } rows[] = {
        {good + "origin_host\tfs1\n", ""},
        {"", "not a vault record"},
        {"#!/bin/sh\n", "not a vault record"},
        {replaced("zet-vault-record 1", "zet-vault-record 2"),
         "vault record format 'zet-vault-record 2' is not understood"},
        {replaced("sha256\t", "sha512\t"), "vault record without the field sha256"},
        {replaced("uid\t1000\n", ""), "vault record without the field uid"},
        {good + "uid\t0\n", "vault record field uid repeated"},
        {good.substr(0, good.size() - 1), "vault record ends inside a line"},
        {good + "no value\n", "vault record line without a value: no value"},
        {replaced("report.doc", "report\\x41"), "vault record field path: bad escape"},
        {replaced("report.doc", "report\\"), "vault record field path: bad escape"},
        {replaced("mode\t0640", "mode\t10000"), "vault record field mode: bad value \"10000\""},
        {replaced("uid\t1000", "uid\t4294967296"), "vault record field uid: bad value \"4294967296\""},
        {replaced("mtime\t1600000000.999999999", "mtime\t1600000000.5"),
         "vault record field mtime: bad value \"1600000000.5\""},
        {replaced("size\t68", "size\t68 bytes"), "vault record field size: bad value \"68 bytes\""},
        {replaced("sha256\t275a", "sha256\t275A"),
         "vault record field sha256: bad value "
         "\"275A021bbfb6489e54d471899f7db9d1663fc695ec2fe2a2c4538aabf651fd0f\""},
        {good + "writer_pid\t0\n", "vault record field writer_pid: bad value \"0\""},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.text);
        std::string error;
        std::optional<vault_record> r = vault_record_parse(row.text, &error);
        EXPECT_EQ(r.has_value(), row.error.empty());
        EXPECT_EQ(error, row.error);
    }
}

// On a real vault file: whole where it fits, cut where the file system refuses the whole (E2BIG on tmpfs,
// ENOSPC on ext4), and a warning, never a failure, where there is no file to keep it on.
TEST(VaultRecord, KeptOnTheVaultFileOrWarnedAbout) {
    if (!zet_test::is_root())
        GTEST_SKIP() << "trusted.* extended attributes need CAP_SYS_ADMIN (run as root)";
    TempDir dir;
    const std::string file = dir / "report.doc.AbC123";
    zet_test::write_file(file, zet_test::eicar);
    struct stat before;
    ASSERT_EQ(lstat(file.c_str(), &before), 0);
    infection second = {const_cast<char*>("Second"), nullptr};
    infection first = {const_cast<char*>("Eicar-Test-Signature"), &second};
    const std::string huge(12000, '\xff'); // escaped sixfold: beyond any file system's limit for one value
    const actor writer{true, 4242, 1000, "bob", "/usr/bin/cp", "ssh.service"};
    const struct {
        std::string vault, original, message; // message empty: kept
        bool cut;
    } rows[] = {
        {file, "/srv/share/report.doc", "", false},
        {file, "/srv/" + huge, "", true},
        {dir / "gone", "/srv/share/gone",
         dir / "gone" + ": vault record not kept: " + zet_test::strerror_text(ENOENT) + "\n", false},
    };
    openlog("vault_record_test", LOG_PERROR, LOG_USER);
    for (const auto& row : rows) {
        SCOPED_TRACE(row.original.substr(0, 40));
        zet_test::StderrCapture capture;
        vault_record_keep(row.vault.c_str(), row.original.c_str(), before, &first, 27000, writer, 1700000100);
        capture.restore();
        const std::string said = capture.text();
        // After the "ident: " that LOG_PERROR puts first.
        EXPECT_EQ(said.empty() ? said : said.substr(said.find(": ") + 2), row.message);
        if (!row.message.empty())
            continue;
        std::string error;
        std::optional<vault_record> r = vault_record_read(row.vault, &error);
        ASSERT_TRUE(r) << error;
        EXPECT_EQ(r->cut, row.cut);
        EXPECT_EQ(r->path, row.cut ? row.original.substr(0, 200) : row.original);
        const std::vector<std::string> all = {"Eicar-Test-Signature", "Second"};
        EXPECT_EQ(r->findings, row.cut ? std::vector<std::string>(all.begin(), all.begin() + 1) : all);
        EXPECT_EQ(r->sha256, "275a021bbfb6489e54d471899f7db9d1663fc695ec2fe2a2c4538aabf651fd0f");
        EXPECT_EQ(r->uid, before.st_uid);
        EXPECT_EQ(r->mode, before.st_mode & 07777);
        EXPECT_EQ(r->mtime.tv_nsec, before.st_mtim.tv_nsec);
        EXPECT_EQ(actor_text(r->writer), actor_text(writer));
    }
    closelog();
    // Without one, there is nothing to read and nothing wrong.
    const std::string plain = dir / "plain";
    zet_test::write_file(plain, "x");
    std::string error = "stale";
    EXPECT_FALSE(vault_record_read(plain, &error));
    EXPECT_EQ(error, "");
}

} // namespace
