-- Text statistics of the arguments: one line per argument, then a total.
-- The module lives in lib/ beside this script, wherever the script was put.
local here = arg[0]:match("^(.*)/[^/]*$") or "."
package.path = here .. "/lib/?.lua"

local textstats = require("textstats")

if #arg == 0 then
  io.stderr:write("usage: lua-app TEXT...\n")
  os.exit(1)
end

local banner = io.open(here .. "/data/banner.txt"):read("l")
print(banner)

local total = 0
for i, text in ipairs(arg) do
  local words = textstats.words(text)
  total = total + #words
  print(string.format("%d: [%s] %d chars, %d words, reversed [%s], longest [%s]",
    i, text, #text, #words, text:reverse(), textstats.longest(words)))
end
print(string.format("%d arguments, %d words", #arg, total))
