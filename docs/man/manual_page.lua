-- Turns a program's page under docs/ into its manual page, so both say the same thing from one source:
--   the title            -> NAME (program and the description given as metadata), then DESCRIPTION
--   "## Usage"           -> SYNOPSIS (its first code block), then OPTIONS (the option table and the rest)
--   "## Exit statuses"   -> EXIT STATUS; "## Environment" -> ENVIRONMENT; "## Files" -> FILES;
--   "## Usage text"      -> USAGE TEXT (the program's --help, added by usage_text.sh); "## See also" -> SEE ALSO
--   every other section  -> one level up, in the same order.
-- Every table becomes a list of tagged paragraphs, which reads better in a terminal than a table and fits 80
-- columns: an option table (Option | Default | Accepted) gives each option its description and default; any other
-- table tags each row with its first cell, followed by the other cells under their column's heading.
-- Links keep their text only: their targets are paths in the source tree. The measurements (bench/README.md) are
-- not installed, so the parenthesis or sentence that points to them is left out.
local renamed = {
  ["Usage"] = "OPTIONS",
  ["Exit statuses"] = "EXIT STATUS",
  ["Environment"] = "ENVIRONMENT",
  ["Files"] = "FILES",
  ["Usage text"] = "USAGE TEXT",
  ["See also"] = "SEE ALSO",
}

local function to_measurements(inline)
  return inline.t == "Link" and inline.target:find("bench/README.md", 1, true) ~= nil
end

function Link(link)
  if to_measurements(link) then return nil end  -- removed with its words by Inlines below
  return link.content
end

local function is_break(inline)
  return inline.t == "Space" or inline.t == "SoftBreak"
end

-- Removes the parenthesis that holds a link to the measurements ("(measured in LINK)"), keeping what follows its
-- closing bracket, or else the sentence that holds it ("The measurements: LINK.").
local function without_measurements(inlines)
  local at
  for index, inline in ipairs(inlines) do
    if to_measurements(inline) then at = index break end
  end
  if not at then return nil end
  local opening, closing, first, last, rest
  for index = at - 1, 1, -1 do
    local inline = inlines[index]
    if inline.t == "Str" then
      if inline.text:match("[.)]$") then first = index + 1 break end
      if inline.text:match("^%(") then opening = index break end
    end
  end
  first = first or 1
  if opening then
    for index = at + 1, #inlines do
      local inline = inlines[index]
      if inline.t == "Str" and inline.text:find(")", 1, true) then closing = index break end
    end
  end
  if opening and closing then
    first, last = opening, closing
    rest = inlines[closing].text:match("%)(.*)$")
    if first > 1 and is_break(inlines[first - 1]) then first = first - 1 end
  else
    for index = at + 1, #inlines do
      local inline = inlines[index]
      if inline.t == "Str" and inline.text:match("%.$") then last = index break end
    end
    last = last or #inlines
    if first == 1 then
      while last < #inlines and is_break(inlines[last + 1]) do last = last + 1 end
    end
  end
  local kept = pandoc.List()
  for index, inline in ipairs(inlines) do
    if index < first or index > last then kept:insert(inline)
    elseif index == last and rest and rest ~= "" then kept:insert(pandoc.Str(rest)) end
  end
  return without_measurements(kept) or kept
end

function Inlines(inlines)
  return without_measurements(inlines)
end

local function text(value)
  return pandoc.utils.stringify(value or "")
end

local function cell_inlines(blocks)
  local inlines = {}
  for _, block in ipairs(blocks) do
    for _, inline in ipairs(block.content or {}) do table.insert(inlines, inline) end
  end
  return inlines
end

-- A row of a table other than the options: its first cell tagging the others. Of two columns the second is the
-- description; of more, each cell starts a line of its own with its column's heading, and short cells (such as
-- figures) share one line.
local function other_table(simple, headers)
  local items = {}
  for _, row in ipairs(simple.rows) do
    local description = pandoc.List()
    if #row == 2 then
      description:extend(cell_inlines(row[2]))
    else
      local line_is_short = false
      for column = 2, #row do
        local inlines = cell_inlines(row[column])
        if #inlines > 0 then
          local short = #text(inlines) <= 20
          if #description > 0 then
            if short and line_is_short then
              description:extend({pandoc.Str(";"), pandoc.Space()})
            else
              description:insert(pandoc.RawInline("man", "\n.br\n"))
            end
          end
          if headers[column] ~= "" then description:extend({pandoc.Str(headers[column] .. ":"), pandoc.Space()}) end
          description:extend(inlines)
          line_is_short = short
        end
      end
    end
    table.insert(items, {cell_inlines(row[1]), {{pandoc.Plain(description)}}})
  end
  return pandoc.DefinitionList(items)
end

function Table(table_block)
  local simple = pandoc.utils.to_simple_table(table_block)
  local headers = {}
  for _, header in ipairs(simple.headers) do table.insert(headers, text(header)) end
  if headers[1] ~= "Option" or headers[2] ~= "Default" or headers[3] ~= "Accepted" then
    return other_table(simple, headers)
  end
  local items = {}
  for _, row in ipairs(simple.rows) do
    local description = cell_inlines(row[3])
    local default = cell_inlines(row[2])
    if #default > 0 then
      if #description > 0 then table.insert(description, pandoc.Space()) end
      table.insert(description, pandoc.Str("(default:"))
      table.insert(description, pandoc.Space())
      for _, inline in ipairs(default) do table.insert(description, inline) end
      table.insert(description, pandoc.Str(")"))
    end
    table.insert(items, {cell_inlines(row[1]), {{pandoc.Plain(description)}}})
  end
  return pandoc.DefinitionList(items)
end

-- The synopsis as written, line for line, at the section's indent rather than a code block's deeper one, so
-- its lines of up to 72 characters fit 80 columns.
local function synopsis(code)
  local lines = {}
  for line in (code .. "\n"):gmatch("(.-)\n") do
    line = line:gsub("\\", "\\e"):gsub("%-", "\\-")
    if line:match("^[.']") then line = "\\&" .. line end
    table.insert(lines, line)
  end
  return pandoc.RawBlock("man", ".nf\n" .. table.concat(lines, "\n") .. "\n.fi")
end

function Pandoc(doc)
  local program = text(doc.meta.program)
  local blocks = {}
  local function add(block) table.insert(blocks, block) end
  local waiting_for_synopsis = false
  for _, block in ipairs(doc.blocks) do
    if block.t == "Header" and block.level == 1 then
      add(pandoc.Header(1, "NAME"))
      add(pandoc.Plain({pandoc.Str(program), pandoc.Space(), pandoc.RawInline("man", "\\-"), pandoc.Space(),
                        pandoc.Str(text(doc.meta.description))}))
      add(pandoc.Header(1, "DESCRIPTION"))
    elseif block.t == "Header" then
      local title = text(block.content)
      if block.level == 2 and title == "Usage" then
        add(pandoc.Header(1, "SYNOPSIS"))
        waiting_for_synopsis = true
      elseif block.level == 2 and renamed[title] then
        add(pandoc.Header(1, renamed[title]))
      else
        add(pandoc.Header(block.level - 1, block.content))
      end
    elseif waiting_for_synopsis and block.t == "CodeBlock" then
      add(synopsis(block.text))
      add(pandoc.Header(1, "OPTIONS"))
      waiting_for_synopsis = false
    else
      add(block)
    end
  end
  return pandoc.Pandoc(blocks, doc.meta)
end
