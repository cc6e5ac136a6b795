#!/usr/bin/env bash
# Makes the sample game that scripts/run-sample.sh puts on discs: a folder of game files of
# several sizes with Japanese names (some to be stored compressed), plus setup.ini and the
# uninst.dat template, all deterministic. Usage: sample-game.sh <folder>
# Leaves <folder>/game, <folder>/setup.ini and <folder>/uninst.dat.
set -euo pipefail
out=${1:?usage: sample-game.sh <folder>}
rm -rf "$out/game"
mkdir -p "$out/game"
python3 - "$out" <<'PY'
import os, random, sys
out = sys.argv[1]
game = os.path.join(out, "game")
rng = random.Random(20261207)

def write(relative, data):
    path = os.path.join(game, *relative.split("\\"))
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "wb") as f:
        f.write(data)

def noise(size):
    return rng.getrandbits(8 * size).to_bytes(size, "little") if size else b""

line = "「ようこそ、サンプルの世界へ。」\r\n".encode("cp932")
write("ゲーム.exe", b"MZ" + noise(65534))
write("readme.txt", "サンプルゲーム\r\n\r\nこのゲームはインストーラの見本です。\r\n".encode("cp932"))
write("data\\シナリオ.dat", (line * (1048576 // len(line) + 1))[:1048576])
write("data\\画像\\背景 01.bmp", b"BM" + noise(1572862))
write("data\\音声\\bgm.ogg", b"OggS" + noise(2097148))
write("movie\\オープニング.mpg", noise(3145728))
write("save\\初期データ.dat", b"")

# setup.ini is read in code page 932.
with open(os.path.join(out, "setup.ini"), "wb") as f:
    f.write(("[INSTALLER]\r\n"
             "Company=サンプル工房\r\n"
             "Publisher=サンプル工房\r\n"
             "URLInfoAbout=https://www.example.com/\r\n"
             "AppName=サンプルゲーム\r\n"
             "InstFolder=サンプルゲーム\r\n"
             "AppExe=ゲーム.exe\r\n").encode("cp932"))
# Save files the game will write later go with the game.
with open(os.path.join(out, "uninst.dat"), "wb") as f:
    f.write("0,save\\*.sav\r\n".encode("cp932"))
PY
