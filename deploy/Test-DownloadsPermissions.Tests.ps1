BeforeAll {
    . (Join-Path $PSScriptRoot 'testing/TestSupport.ps1')
    . (Join-Path $PSScriptRoot 'testing/Layouts.ps1')
    . (Join-Path $PSScriptRoot 'Test-DownloadsPermissions.ps1')

    function Get-Verdict($Downloads, [switch]$Explain, $Exposure = @(), $ProgramFiles = $ProgramFilesList) {
        $checks = @(Get-Checks -Way @((New-Folder 'V'), (New-Folder 'A'), $Downloads) -ProgramFiles (New-Folder 'PF' -Entries $ProgramFiles))
        @(Format-Verdict -Checks $checks -Exposure $Exposure -Explain:$Explain)
    }
}

Describe 'Detection' {
    It 'finds the work in place where Downloads <Case>' -ForEach @(
        @{ Case = 'carries the list and inherits nothing (an agent folder that blocks inheritance)'; Inherits = $false; Owner = 'S-1-5-18' }
        @{ Case = 'carries the list and inherits from a stock ProgramData'; Inherits = $true; Owner = 'S-1-5-18' }
        @{ Case = 'carries the list but a user owns it'; Inherits = $true; Owner = 'S-1-5-21-1-2-3-1001' }
        @{ Case = 'holds as its own the entries the program-files folder inherits, as the tool copies them'; Inherits = $false; Owner = 'S-1-5-18'
            ProgramFiles = { @($ProgramFilesList | ForEach-Object { New-Entry $_.Sid $_.Rights $true $_.Inheritance $_.Propagation $_.Type }) } }
    ) {
        $entries = $ProgramFilesList + $(if ($Inherits) { $ProgramDataInherited })
        $programFiles = if ($_['ProgramFiles']) { & $_.ProgramFiles } else { $ProgramFilesList }
        Get-Verdict (New-Folder 'D' -Owner $Owner -Entries $entries) -ProgramFiles $programFiles | Should -Be 'Downloads carries the program-files access list'
    }

    It 'says nothing where <Case>' -ForEach @(
        @{ Case = 'Downloads is a junction'; Downloads = { New-Folder 'D' -IsReparsePoint $true -Entries $ProgramFilesList } }
        @{ Case = 'Downloads is missing'; Downloads = { New-Folder 'D' -IsFolder $false } }
        @{ Case = 'an entry is missing'; Downloads = { New-Folder 'D' -Entries $ProgramFilesList[0..3] } }
        @{ Case = 'the entries are in another order'; Downloads = { New-Folder 'D' -Entries $ProgramFilesList[1, 0, 2, 3, 4] } }
        @{ Case = 'an explicit entry lets users write'; Downloads = { New-Folder 'D' -Entries ($ProgramFilesList + (New-Entry 'S-1-5-32-545' 0x2)) } }
        @{ Case = 'only the inherited stock entries are there'; Downloads = { New-Folder 'D' -Entries $ProgramDataInherited } }
        @{ Case = 'a conditional entry is there besides (Get-Acl does not show it)'; Downloads = { New-Folder 'D' -Entries $ProgramFilesList -Unusual 1 } }
        @{ Case = 'every entry is there, in another order'; Downloads = { New-Folder 'D' -Entries $ProgramFilesList[($ProgramFilesList.Count - 1)..0] } }
        @{ Case = 'the program-files folder has no explicit entries, nor has Downloads'; Downloads = { New-Folder 'D' -Entries $ProgramDataInherited }
            ProgramFiles = { $ProgramDataInherited } }
        @{ Case = 'the earlier builds'' list is on Downloads, the current one on the program-files folder'; Downloads = { New-Folder 'D' -Entries $ProgramFilesListEarly } }
    ) {
        $programFiles = if ($_['ProgramFiles']) { & $_.ProgramFiles } else { $ProgramFilesList }
        Get-Verdict (& $Downloads) -ProgramFiles $programFiles | Should -BeNullOrEmpty
    }

    It 'explains every check with -Explain, then the exposure findings, marked as such' {
        $finding = [pscustomobject]@{ Path = 'D'; Sid = 'S-1-5-32-545'; Account = 'BUILTIN\Users'; Allows = 'write (create files)'; Why = 'inherited'; Remedy = 'decide' }
        $stock = [pscustomobject]@{ Path = 'D'; Sid = $null; Account = $null; Allows = ''; Why = 'stock'; Remedy = 'none'; Kind = 'Baseline' }
        $lines = Get-Verdict (New-Folder 'D' -Entries $ProgramFilesList[0..3]) -Explain -Exposure $finding, $stock
        $lines | Should -Contain 'pass  folder V: a real folder'
        $lines | Should -Contain 'exposure  D: BUILTIN\Users, write (create files): inherited. Remedy: decide'
        $lines | Should -Contain 'baseline  D: stock. Remedy: none'
        $lines[-1] | Should -Be 'The tool''s work is not in place'
    }

    It '<Script> leaves room for a signature within the 32 KB Configuration Manager takes' -ForEach @(
        @{ Script = 'Test-DownloadsPermissions.ps1' }, @{ Script = 'Test-DownloadsPermissionsApplies.ps1' }
    ) {
        (Get-Item -LiteralPath (Join-Path $PSScriptRoot $Script)).Length | Should -BeLessThan 20KB
    }

    It 'runs from text with no file behind it (<Arguments>), as Invoke-Command -FilePath runs it, and exits 0 with nothing on standard error' -ForEach @(
        @{ Arguments = ''; Out = @() }
        @{ Arguments = '-Explain'; Out = @('(no exposure audit: run from text*', 'FAIL  *', 'The tool''s work is not in place') }
    ) {
        $text = (Get-Content -Raw -LiteralPath (Join-Path $PSScriptRoot 'Test-DownloadsPermissions.ps1')).Replace("'", "''")
        $run = Invoke-PowerShellProcess "& ([scriptblock]::Create('$text')) $Arguments; exit `$LASTEXITCODE"
        $run.Err | Should -BeNullOrEmpty
        $run.Status | Should -Be 0
        $run.Out | Should -HaveCount $Out.Count
        for ($line = 0; $line -lt $Out.Count; $line++) { $run.Out[$line] | Should -BeLike $Out[$line] }
    }

    It 'writes nothing to standard error where it cannot read the folders, and exits 0' {
        # PowerShell on Linux has no Windows access lists: every read fails.
        $run = Invoke-PowerShellProcess "& '$(Join-Path $PSScriptRoot 'Test-DownloadsPermissions.ps1')'; exit `$LASTEXITCODE"
        $run.Status | Should -Be 0
        $run.Out | Should -BeNullOrEmpty
        $run.Err | Should -BeNullOrEmpty
    }
}
