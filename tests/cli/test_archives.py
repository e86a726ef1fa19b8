"""Report archives through nerit-events: read, refused or broken, and never left unpacked."""

import io
import re
import shutil
import tarfile
from pathlib import Path

import pytest

from nerit_record_console import cli as front, record_console

LOG_MEMBER = "vantor/log/nerit/events"


@pytest.mark.parametrize("name, mode", [("report.tar", "w"), ("report.tgz", "w:gz"),
                                        ("report.tar.xz", "w:xz")])
def test_report_archive_is_read_and_its_copy_removed(cli, log, tmp_path, new_temp_dirs, name,
                                                     mode):
    archive = cli.report_archive(tmp_path, name, mode, log)
    result = cli.run(archive, "-a", "-F", "%name_en")
    assert (result.returncode, result.stderr) == (0, "")
    assert cli.names(result)[0] == "four-days-ago" and len(cli.names(result)) == 5
    assert new_temp_dirs() == set()


def hostile_member(name, kind=tarfile.REGTYPE, linkname=""):
    info = tarfile.TarInfo(name)
    info.type, info.linkname = kind, linkname
    info.size = 3 if kind == tarfile.REGTYPE else 0
    return info


@pytest.mark.parametrize("members, reason", [
    ([hostile_member("/tmp/nerit-escape", tarfile.DIRTYPE),
      hostile_member(f"/tmp/nerit-escape/{LOG_MEMBER}")], "absolute"),
    ([hostile_member("../nerit-escape", tarfile.DIRTYPE),
      hostile_member(f"../nerit-escape/{LOG_MEMBER}")], "outside the destination"),
    ([hostile_member("D", tarfile.DIRTYPE),
      hostile_member(f"D/{LOG_MEMBER}", tarfile.SYMTYPE, "/etc/shadow")],
     "is a symbolic link (to '/etc/shadow')"),
    ([hostile_member("D", tarfile.DIRTYPE),
      hostile_member(f"D/{LOG_MEMBER}", tarfile.LNKTYPE, "D/x")], "is a hard link"),
    ([hostile_member("D", tarfile.DIRTYPE), hostile_member(f"D/{LOG_MEMBER}", tarfile.CHRTYPE)],
     "is a special file"),
], ids=["absolute", "dotdot", "symlink", "hardlink", "device"])
def test_hostile_archive_is_refused(cli, tmp_path, new_temp_dirs, members, reason):
    archive = tmp_path / "hostile.tar"
    with tarfile.open(archive, "w") as tar:
        for info in members:
            tar.addfile(info, io.BytesIO(b"{}\n") if info.isreg() else None)
    result = cli.run(archive, "-a")
    assert result.returncode == 1 and result.stdout == ""
    assert re.fullmatch(r"nerit-events: .*hostile\.tar: unpacking refused: .+\n", result.stderr)
    assert reason in result.stderr
    assert not Path("/tmp/nerit-escape").exists()
    assert not (tmp_path.parent / "nerit-escape").exists()
    assert new_temp_dirs() == set()


@pytest.mark.parametrize("case, reason", [
    ("absolute", f"member '/tmp/nerit-escape/{LOG_MEMBER}' has an absolute path"),
    ("symlink", f"'D/{LOG_MEMBER}' is a symbolic link (to '/etc/shadow')"),
    ("fifo", f"'D/{LOG_MEMBER}' is a special file"),
    ("too large", f"'D/{LOG_MEMBER}' declares 3 bytes, more than the 2 bytes free for it in "
                  "'TEMP' (free space less a margin of 64 MiB)"),
])
def test_refusal_reads_the_same_whatever_tarfile_unpacks(engine_tarfile, tmp_path, viewer_clock,
                                                         monkeypatch, capsys, case, reason):
    monkeypatch.setattr(front.signal, "signal", lambda *args: None)
    monkeypatch.setattr(front, "_bind_catalogue", lambda: None)
    monkeypatch.setattr(record_console.shutil, "disk_usage",  # 2 bytes beyond the margin
                        lambda path: shutil._ntuple_diskusage(1 << 30, 1 << 29, (64 << 20) + 2))
    top = "/tmp/nerit-escape" if case == "absolute" else "D"
    kind, link = {"symlink": (tarfile.SYMTYPE, "/etc/shadow"), "fifo": (tarfile.FIFOTYPE, "")}.get(
        case, (tarfile.REGTYPE, ""))
    archive = tmp_path / "hostile.tar"
    with tarfile.open(archive, "w") as tar:
        for info in (hostile_member(top, tarfile.DIRTYPE),
                     hostile_member(f"{top}/{LOG_MEMBER}", kind, link)):
            tar.addfile(info, io.BytesIO(b"{}\n") if info.isreg() else None)
    assert front.main([str(archive), "-a"]) == 1
    reason = reason.replace("TEMP", f"/tmp/tmp{viewer_clock[0]!r}")
    assert capsys.readouterr() == ("", f"nerit-events: {archive}: unpacking refused: {reason}\n")
    assert engine_tarfile.extracts == [] and viewer_clock.left_behind() == set()


def test_archive_without_event_log(cli, tmp_path, new_temp_dirs):
    archive = tmp_path / "other.tgz"
    (tmp_path / "D").mkdir()
    with tarfile.open(archive, "w:gz") as tar:
        tar.add(tmp_path / "D", arcname="D")
    result = cli.run(archive)
    assert result.returncode == 1 and result.stdout == ""
    assert result.stderr == (f"nerit-events: {archive}: the archive holds no event log "
                             f"(filename 'D/{LOG_MEMBER}' not found)\n")
    assert new_temp_dirs() == set()


@pytest.mark.parametrize("content", [
    b"not an archive", b"\x1f\x8b\x08garbage", b"\x1f\x8b\x08\x00" + b"\x00" * 6,
    b"\xfd7zXZ\x00\x00\x04\xe6\xd6\xb4\x46\x02\x00\x21\x01\x16\x00\x00\x00",
], ids=["text", "cut gzip", "empty gzip", "cut xz"])
def test_corrupted_archive(cli, tmp_path, new_temp_dirs, content):
    archive = tmp_path / "broken.tgz"
    archive.write_bytes(content)
    result = cli.run(archive)
    assert (result.returncode, result.stderr) == (1, "")
    assert result.stdout == "Unpacking failed: Unsupported format or corrupted file\n"
    assert new_temp_dirs() == set()
