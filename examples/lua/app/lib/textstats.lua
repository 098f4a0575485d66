-- Splits texts into words and finds the longest of them.
local textstats = {}

function textstats.words(text)
  local words = {}
  for word in text:gmatch("%S+") do
    words[#words + 1] = word
  end
  return words
end

-- The first of the longest words; empty when there is none.
function textstats.longest(words)
  local best = ""
  for _, word in ipairs(words) do
    if #word > #best then
      best = word
    end
  end
  return best
end

return textstats
