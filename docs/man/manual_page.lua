-- Turns a program's page under docs/ into its manual page, so both say the same thing from one source:
--   the title            -> NAME (program and the description given as metadata), then DESCRIPTION
--   "## Usage"           -> SYNOPSIS (its first code block), then OPTIONS (the option table and the rest)
--   "## Exit statuses"   -> EXIT STATUS; "## Environment" -> ENVIRONMENT; "## Files" -> FILES;
--   "## Usage text"      -> USAGE TEXT (the program's --help, added by usage_text.sh); "## See also" -> SEE ALSO
--   every other section  -> one level up, in the same order.
-- An option table (Option | Default | Accepted) becomes a list of tagged paragraphs, which reads better in a
-- terminal than a table. Links keep their text only: their targets are paths in the source tree.
local renamed = {
  ["Usage"] = "OPTIONS",
  ["Exit statuses"] = "EXIT STATUS",
  ["Environment"] = "ENVIRONMENT",
  ["Files"] = "FILES",
  ["Usage text"] = "USAGE TEXT",
  ["See also"] = "SEE ALSO",
}

function Link(link)
  return link.content
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

function Table(table_block)
  local simple = pandoc.utils.to_simple_table(table_block)
  local headers = {}
  for _, header in ipairs(simple.headers) do table.insert(headers, text(header)) end
  if headers[1] ~= "Option" or headers[2] ~= "Default" or headers[3] ~= "Accepted" then return nil end
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
      add(block)
      add(pandoc.Header(1, "OPTIONS"))
      waiting_for_synopsis = false
    else
      add(block)
    end
  end
  return pandoc.Pandoc(blocks, doc.meta)
end
